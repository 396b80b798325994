// The progress line of a download run: what the bar and the line under it
// show, and the one progress command that may wait for the dialog.
#pragma once

#include <windows.h>

#include <atomic>

#include "framework/atlsync.h"

// Progress for the bar: received × 100 / total; 0 when the total is
// unknown, above 100 when the server sends more than it announced.
int DownloadPercent(ULONGLONG nProgress, ULONGLONG nProgressMax);

// What one progress command shows: the line under the bar and the bar's position.
struct DownloadProgress
{
    WCHAR szText[256];
    int nPercent;
};

// Written by the worker, read by the dialog, under the lock of the job that
// owns it. At most one progress command waits in the dialog's queue (the
// pending flag, cleared before the values are read and at each start), so
// the outcome command always finds room there however fast the transfer
// runs; a waiting command shows the values current when it is handled.
class CProgressLine
{
public:
    explicit CProgressLine(CCriticalSection& cs) : m_cs(cs) {}
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;

    // Before a run's worker starts: its commands go to hWndNotify with the
    // run's number as their code.
    void Begin(HWND hWndNotify, WORD nRun);
    // On the worker: the bytes in the package and the whole package's length
    // (0 when unknown), after a block was written.
    void Received(ULONGLONG nDone, ULONGLONG nTotal);
    // On the worker: the connection was lost, and the rest of the package
    // will be asked for; from now on the line says that it resumed.
    void Resuming(ULONGLONG nDone, ULONGLONG nTotal);
    // On the dialog's thread, for a progress command of the run.
    void Take(DownloadProgress& progress);

    // Reports, and progress commands posted and taken, for the benchmark's count.
    long Reports() const { return m_nReports; }
    long Posted() const { return m_nPosted; }
    long Taken() const { return m_nTaken; }

private:
    void Show(LPCWSTR pszFormat, ULONGLONG nDone, ULONGLONG nTotal);

    CCriticalSection& m_cs;
    WCHAR m_szProgressText[256]{};
    WCHAR m_szDoneSize[256]{};
    WCHAR m_szTotalSize[256]{};
    int m_nPercent = 0;
    // Set by Begin only while no worker runs, read by the worker without a lock.
    HWND m_hWndNotify = nullptr;
    WORD m_nRun = 0;
    bool m_bResumed = false; // worker only
    std::atomic<bool> m_bPending{false};
    std::atomic<long> m_nReports{0};
    std::atomic<long> m_nPosted{0};
    std::atomic<long> m_nTaken{0};
};
