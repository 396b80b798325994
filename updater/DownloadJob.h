// The download job: one run from the click to the outcome, on a worker thread
// of its own. The worker reports to the dialog only by posting the three
// download commands; the dialog asks the job what they mean.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "BindingWatch.h"
#include "DownloadProgress.h"
#include "ExceptionBase.h"
#include "Owners.h"
#include "PackageFile.h"
#include "QfThread.h"
#include "ReleaseManifest.h"
#include "framework/atlsync.h"

// The directory from what GetTempPathW wrote into a 240-character buffer and
// returned: with a separator at its end, as far as the buffer has room for
// one. Throws CExceptionBase (10) when there is no usable directory.
std::wstring TempDirectoryFrom(const wchar_t* pszPath, DWORD nLength);

// The file name of a package URL: everything after the last "/". False when
// there is no "/" after the first character.
bool FileNameOfUrl(const std::wstring& strUrl, std::wstring& strFileName);

// "Download failed.  Error = 0x%08lX\n\n" with the program's own text of the
// code (ReleaseRefusalText), else the system's.
std::wstring DownloadFailureText(HRESULT hr);

// The job and the dialog share it by these rules, and by no others:
// - Runs. StartRun begins a run with a number of its own (1, 2, ..., never 0)
//   that every command the worker posts carries as its notification code. The
//   dialog acts only on what TakeProgress and TakeOutcome accept: commands of
//   the current run, and its one outcome once, as the worker concluded it. So
//   a command that an earlier run posted just before it ended, and one posted
//   by another program, change nothing.
// - One worker at a time. A worker whose stop wait ran out still reads the
//   job's URL, so StartRun refuses (the click is ignored) until it has ended.
//   A worker that cannot be created ends its run at once as failed, with the
//   system's code.
// - Progress. At most one progress command waits in the dialog's queue, so
//   the outcome command always finds room there however fast the transfer
//   runs (DownloadProgress.h).
// - Retries. A transfer that ends early (the connection closed or reset, the
//   body cut short) from a server that takes ranges and names the package's
//   version is asked again for the rest, at most kMaxRetries times, after a
//   pause each; the progress line goes on from the bytes already there and
//   says that it resumes. A version that changed starts the package afresh.
// - Stop. RequestStop refuses the worker's next callback, aborts the binding
//   it is waiting on and ends a pause between two tries, so that a stalled
//   server cannot hold it. A stop that
//   the dialog has made is final for the run: whatever the transfer does
//   afterwards, the run ends as stopped (E_ABORT), its package deleted. Only
//   a run that had already concluded it was ready still hands off: its ready
//   command is on its way.
// - Waiting. The dialog waits at most kStopWaitMs (5000 ms) for a stopped
//   worker (WaitForWorker). A worker that outlives the dialog is ended with the
//   process before the job is destroyed (QuillfeedUpdater.cpp), since it
//   still uses the job.
// - The package (PackageFile.h). Each run has a private folder of its own,
//   and earlier runs' folders that nobody holds are removed as it starts. From
//   a ready outcome the package stays held until the dialog hands it to the
//   shell (ReleasePackage) or gives it up (DiscardPackage); a run that fails
//   leaves neither package nor folder.
// The thread base is private: the dialog starts and waits for the worker
// through StartRun and WaitForWorker, never through the thread's own members.
class CDownloadJob : private CQfThread
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
    // How often a transfer that ended early is tried again (see Retries).
    static constexpr int kMaxRetries = 3;

    CDownloadJob();
    ~CDownloadJob() override = default;

    // The dialog's side, on its thread.

    // Starts a run that downloads strUrl and reports to hWndNotify. False,
    // and nothing starts, while an earlier worker still runs. pExpected, when
    // given, is what the release manifest lists for the package: a body of
    // another length fails before it is written (or at the first byte past
    // that length), and the whole package's SHA-256 must be the one listed;
    // either fails the run with kManifestFileMismatch.
    bool StartRun(const std::wstring& strUrl, HWND hWndNotify, const ExpectedFile* pExpected = nullptr);
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
    // After a ready outcome: the package and its folder, held until
    // ReleasePackage or DiscardPackage.
    LPCWSTR PackagePath() const { return m_package.Path(); }
    const std::wstring& PackageFolder() const { return m_package.Folder(); }
    // Just before the hand-off: the held package is still at its path.
    HRESULT CheckPackage() const { return m_package.CheckPath(); }
    void ReleasePackage() { m_package.Release(); }
    void DiscardPackage() { m_package.Discard(); }

    // The run's progress line, for the benchmark's counts.
    const CProgressLine& Progress() const { return m_progress; }

    static std::wstring GetTempDirectory();

private:
    // CQfThread: the whole download; posts exactly one of ID_DOWNLOAD_READY
    // and ID_DOWNLOAD_FAILED.
    unsigned Run() override;

    void Download();
    HRESULT TransferWithRetries();
    HRESULT CheckListedHash();
    // Ends the run: ready for S_OK, failed otherwise, with pszText or the
    // code's failure text; stopped whenever the dialog has asked for a stop.
    void Conclude(HRESULT hr, LPCWSTR pszText = nullptr);
    void PostCommand(UINT nID);

    CCriticalSection m_cs; // guards the progress line's texts and percentage, the failure text and the outcome
    CProgressLine m_progress{m_cs};
    std::wstring m_strError;
    std::atomic<bool> m_bStop{false}; // written under m_cs, read by the worker without it
    unique_handle m_hStopEvent;       // set with m_bStop: ends a pause between two tries
    HWND m_hWndNotify = nullptr;
    std::wstring m_strUrl;
    bool m_bListed = false; // m_listed holds what the manifest lists for the package
    ExpectedFile m_listed;

    // Changed by StartRun only while no worker runs, so the worker reads it
    // without a lock.
    WORD m_nRun = 0;
    Outcome m_outcome = Outcome::None;
    bool m_bOutcomeTaken = false;

    // The binding the worker waits on, for RequestStop (worker and dialog);
    // the package (worker, then the dialog after the outcome).
    CRunningBinding m_binding;
    CPackageFile m_package;
};
