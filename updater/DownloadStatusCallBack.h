// The download job: the status callback that URLDownloadToFileW calls while it
// transfers the package, and the worker thread that runs the transfer. The
// worker reports to the dialog only by posting the three download commands.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <string>

#include "BindingWatch.h"
#include "ExceptionBase.h"
#include "Owners.h"
#include "QfThread.h"
#include "framework/atlsync.h"

// Progress for the bar: received × 100 / total without the 32-bit overflow of
// files above 42 MB; 0 when the total is unknown, above 100 when the server
// sends more than it announced.
int DownloadPercent(ULONG ulProgress, ULONG ulProgressMax);

// The directory from what GetTempPathW wrote into a 240-character buffer and
// returned: with a separator at its end, as far as the buffer has room for
// one. Throws CExceptionBase (10) when there is no usable directory.
std::wstring TempDirectoryFrom(const wchar_t* pszPath, DWORD nLength);

// The file name of a package URL: everything after the last "/". False when
// there is no "/" after the first character.
bool FileNameOfUrl(const std::wstring& strUrl, std::wstring& strFileName);

// The length the stored package must have, from the response's status and raw
// CRLF-separated headers: Content-Length, when it is a number and the body is
// stored as it was sent. False for a 304 (the binding serves its cached copy),
// for a body with a content encoding (the binding stores it decoded), and
// without a usable header.
bool StoredLengthFromHeaders(DWORD dwStatus, LPCWSTR pszHeaders, ULONGLONG& nLength);

// "Download failed.  Error = 0x%08lX\n\n" with the system's text of the code.
std::wstring DownloadFailureText(HRESULT hr);

// What one progress command shows: the line under the bar and the bar's position.
struct DownloadProgress
{
    WCHAR szText[256];
    int nPercent;
};

// The job and the dialog share it by these rules, and by no others:
// - Runs. StartRun begins a run with a number of its own (1, 2, ..., never 0)
//   that every command the worker posts carries as its notification code. The
//   dialog acts only on what TakeProgress and TakeOutcome accept: commands of
//   the current run, and its one outcome once, as the worker concluded it. So
//   a command that an earlier run posted just before it ended, and one posted
//   by another program, change nothing.
// - One worker at a time. A worker whose stop wait ran out still reads the
//   job's URL, so StartRun refuses (the click is ignored) until it has ended.
// - Progress. At most one progress command waits in the dialog's queue (the
//   pending flag, cleared by TakeProgress before it reads the values and at
//   each start), so the outcome command always finds room there however fast
//   the transfer runs. A waiting command shows the values current when it is
//   handled.
// - Stop. RequestStop refuses the worker's next progress callback and aborts
//   the binding it is waiting on (the package's or the signature's), so a
//   stalled server cannot hold it. A stop that the dialog has made is final
//   for the run: whatever the transfer does afterwards, the run ends as
//   stopped (E_ABORT), its package deleted. Only a run that had already
//   concluded it was ready still hands off: its ready command is on its way.
// - Waiting. The dialog waits at most kStopWaitMs (5000 ms) for a stopped
//   worker (WaitForWorker). A worker that outlives the dialog is ended with the
//   process before the job is destroyed (QuillfeedUpdater.cpp), since it
//   still uses the job.
// - The package. Before the transfer, whatever is at the package path is
//   deleted (or the run fails): the job never writes into another's file.
//   From the end of the transfer to the hand-off the job holds the package
//   open, sharing it for reading only, so that nobody can change, replace or
//   rename it between the checks and the shell. A run that fails leaves no
//   file under the package's name.
// - Reference count. Each run adds a reference that it never gives back, so
//   the binding's releases never destroy the job: it is the dialog's member,
//   not a heap object.
// The thread base is private: the dialog starts and waits for the worker
// through StartRun and WaitForWorker, never through the thread's own members.
class CDownloadStatusCallBack : public IBindStatusCallback, private CQfThread, public IHttpNegotiate
{
public:
    // How the worker concluded a run; its outcome command announces it.
    enum class Outcome
    {
        None,
        Ready,
        Failed,
    };

    // How long the dialog waits for a stopped worker (see Waiting above).
    static constexpr DWORD kStopWaitMs = 5000;

    CDownloadStatusCallBack() = default;
    ~CDownloadStatusCallBack() override = default;

    // The dialog's side, on its thread.

    // Starts a run that downloads strUrl and reports to hWndNotify. False,
    // and nothing starts, while an earlier worker still runs.
    bool StartRun(const std::wstring& strUrl, HWND hWndNotify);
    // Asks the running worker to stop (see Stop above).
    void RequestStop();
    // Waits at most nMilliseconds for the worker to end; at once when none runs.
    void WaitForWorker(DWORD nMilliseconds) const;
    // True while a worker thread may still use this object.
    bool IsRunning() const { return m_hThread && !m_bFinished; }
    // For a progress command: false when it is not of the current run;
    // otherwise the values to show.
    bool TakeProgress(WORD wNotifyCode, DownloadProgress& progress);
    // For an outcome command: true once, when it is of the current run and
    // announces what the worker concluded.
    bool TakeOutcome(WORD wNotifyCode, Outcome outcome);
    // After a failed outcome: the text for the failure box.
    const std::wstring& ErrorText() const { return m_strError; }
    // After a ready outcome: the package, held open until ReleasePackage.
    LPCWSTR PackagePath() const { return m_szFilePath; }
    void ReleasePackage() { m_hPackage.reset(); }

    // Progress commands posted and taken, for the benchmark's count.
    long ProgressCommandsPosted() const { return m_nProgressPosted; }
    long ProgressCommandsTaken() const { return m_nProgressTaken; }

    static std::wstring GetTempDirectory();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IBindStatusCallback
    STDMETHODIMP OnStartBinding(DWORD, IBinding* pBinding) override;
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                            LPCWSTR szStatusText) override;
    STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override;
    STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    // IHttpNegotiate: the only way the binding tells the HTTP status. The
    // download call itself returns S_OK for an error page or a body cut short.
    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders) override;
    STDMETHODIMP OnResponse(DWORD dwResponseCode, LPCWSTR szResponseHeaders, LPCWSTR,
                            LPWSTR* pszAdditionalRequestHeaders) override;

    // CQfThread: the whole download; posts exactly one of ID_DOWNLOAD_READY
    // and ID_DOWNLOAD_FAILED.
    unsigned Run() override;

private:
    void Download();
    HRESULT ClearPackagePath();
    HRESULT Transfer();
    HRESULT HoldPackage();
    HRESULT CheckSignature();
    void DiscardPackage();
    // Ends the run: ready for S_OK, failed otherwise, with pszText or the
    // code's failure text; stopped whenever the dialog has asked for a stop.
    void Conclude(HRESULT hr, LPCWSTR pszText = nullptr);
    void PostCommand(UINT nID);

    CCriticalSection m_cs;  // guards the progress texts and percentage, the failure text and the outcome
    std::wstring m_strError;
    WCHAR m_szProgressText[256]{};
    WCHAR m_szDoneSize[256]{};
    WCHAR m_szTotalSize[256]{};
    WCHAR m_szFilePath[MAX_PATH]{};
    int m_nPercent = 0;
    std::atomic<bool> m_bStop{false};  // written under m_cs, read by the worker without it
    HWND m_hWndNotify = nullptr;
    std::wstring m_strUrl;
    LONG m_nRefCount = 0;

    // Changed by StartRun only while no worker runs, so the worker reads it
    // without a lock.
    WORD m_nRun = 0;
    Outcome m_outcome = Outcome::None;
    bool m_bOutcomeTaken = false;
    std::atomic<bool> m_bProgressPending{false};
    std::atomic<long> m_nProgressPosted{0};
    std::atomic<long> m_nProgressTaken{0};

    // The binding the worker waits on, for RequestStop; what the server
    // answered, for the checks after the transfer (worker only).
    CRunningBinding m_binding;
    CHttpAnswer m_answer;
    ULONGLONG m_nContentLength = 0;
    bool m_bLengthKnown = false;
    // Whatever is at the package path is this run's (it cleared the path).
    bool m_bOwnsPath = false;
    unique_hfile m_hPackage;
};
