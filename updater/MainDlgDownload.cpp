// The dialog's side of the download: start, stop, and the three commands that
// the worker posts.
#include "MainDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include "PublisherUrl.h"
#include "UpdaterNames.h"

namespace
{
const wchar_t* PackagePath(int nPackaging)
{
    return nPackaging == 0 ? kSetupPackagePath : kZipPackagePath;
}

// The name the release manifest lists the package under.
const wchar_t* PackageName(int nPackaging)
{
    return nPackaging == 0 ? kSetupPackageName : kZipPackageName;
}
} // namespace

void CMainDlg::StartDownload()
{
    // Nothing is fetched that the publisher's manifest does not list: the
    // job gets the package's listed size and SHA-256, or no run starts.
    ExpectedFile listed;
    const HRESULT hr = m_release.Expected(PackageName(m_nPackaging), listed);
    if (FAILED(hr))
    {
        MessageBox(DownloadFailureText(hr).c_str(), L"", MB_OK);
        return;
    }
    if (!m_download.StartRun(std::wstring(QUILLFEED_PUBLISHER_URL) + PackagePath(m_nPackaging), m_hWnd,
                             hr == S_OK ? &listed : nullptr))
        return;
    ::SendMessageW(m_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ::SendMessageW(m_hProgress, PBM_SETPOS, 0, 0);
    m_bDownloading = true;
    ::ShowWindow(m_hProgress, SW_SHOW);
    ::ShowWindow(m_hStatusText, SW_SHOW);
    ::SetDlgItemTextW(m_hWnd, IDC_DOWNLOAD, L"Stop Download");
}

void CMainDlg::StopDownload()
{
    m_download.RequestStop();
    m_download.WaitForWorker(CDownloadJob::kStopWaitMs);
    m_bDownloading = false;
}

// Opens the package with the shell, started in its own private folder so that
// an installer finds no DLL that someone else put beside it. The shell's own
// error box is left out: the failure box says what happened, with the code.
// False, with the package and its folder deleted, when it could not be opened.
bool CMainDlg::HandOff()
{
    HRESULT hr = m_download.CheckPackage();
    if (SUCCEEDED(hr))
    {
        SHELLEXECUTEINFOW info{};
        info.cbSize = sizeof(info);
        // Done when the call returns: the program ends right after it.
        info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
        info.hwnd = m_hWnd;
        info.lpVerb = L"open";
        info.lpFile = m_download.PackagePath();
        info.lpDirectory = m_download.PackageFolder().c_str();
        info.nShow = SW_SHOW;
        if (::ShellExecuteExW(&info))
        {
            // The installer runs whether or not the release can be recorded:
            // an unrecorded one only leaves this user's floor where it was,
            // which the program's built-in release still holds up.
            m_release.RecordHandOff();
            return true;
        }
        const DWORD nError = ::GetLastError();
        hr = HRESULT_FROM_WIN32(nError ? nError : ERROR_NO_ASSOCIATION);
    }
    m_download.DiscardPackage();
    // As after a stop: the next click starts a new download.
    m_bDownloading = false;
    ::SetDlgItemTextW(m_hWnd, IDC_DOWNLOAD, L"Download && Install");
    MessageBox(DownloadFailureText(hr).c_str(), L"", MB_OK);
    return false;
}

LRESULT CMainDlg::OnDownloadReady(WORD wNotifyCode, WORD, HWND, BOOL&)
{
    if (!m_download.TakeOutcome(wNotifyCode, CDownloadJob::Outcome::Ready))
        return 0;
    ::SendMessageW(m_hProgress, PBM_SETPOS, 100, 0);
    if (!IsWindowVisible())
        ShowWindow(SW_SHOW);
    if (IsIconic())
        ShowWindow(SW_RESTORE);
    else
        BringWindowToTop();
    SetForegroundWindow();
    m_bDownloading = false;

    m_bHandingOff = true;
    MessageBox(kReadyText, kDialogCaption, MB_ICONINFORMATION);
    // The package is opened first: the reader is asked to close only when
    // its upgrade has started.
    const bool bOpened = HandOff();
    m_bHandingOff = false;
    if (!bOpened)
        return 0;

    if (HWND hReader = ::FindWindowW(kReaderWindowClass, nullptr))
        ::PostMessageW(hReader, WM_CLOSE, 0, 0);
    m_download.ReleasePackage();

    DestroyWindow();
    ::PostQuitMessage(1);
    return 0;
}

LRESULT CMainDlg::OnDownloadFailed(WORD wNotifyCode, WORD, HWND, BOOL&)
{
    if (!m_download.TakeOutcome(wNotifyCode, CDownloadJob::Outcome::Failed))
        return 0;
    MessageBox(m_download.ErrorText().c_str(), L"", MB_OK);
    return 0;
}

LRESULT CMainDlg::OnDownloadProgress(WORD wNotifyCode, WORD, HWND, BOOL&)
{
    DownloadProgress progress;
    if (!m_download.TakeProgress(wNotifyCode, progress))
        return 0;
    ::SetWindowTextW(m_hStatusText, progress.szText);
    ::SendMessageW(m_hProgress, PBM_SETPOS, static_cast<WPARAM>(progress.nPercent), 0);
    return 0;
}
