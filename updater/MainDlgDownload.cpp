// The dialog's side of the download: start, stop, and the three commands that
// the worker posts.
#include "MainDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include "PublisherUrl.h"

namespace
{
const wchar_t* PackagePath(int nPackaging)
{
    return nPackaging == 0 ? L"/dist/QuillfeedSetup.exe" : L"/dist/Quillfeed.zip";
}
} // namespace

void CMainDlg::StartDownload()
{
    if (!m_download.StartRun(std::wstring(QUILLFEED_PUBLISHER_URL) + PackagePath(m_nPackaging), m_hWnd))
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
    m_download.WaitForWorker(CDownloadStatusCallBack::kStopWaitMs);
    m_bDownloading = false;
}

LRESULT CMainDlg::OnDownloadReady(WORD wNotifyCode, WORD, HWND, BOOL&)
{
    if (!m_download.TakeOutcome(wNotifyCode, CDownloadStatusCallBack::Outcome::Ready))
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

    MessageBox(L"Download is ready. Automatic Update is going to close Quillfeed and upgrade to the latest version.",
               L"Quillfeed Automatic Update", MB_ICONINFORMATION);

    if (HWND hReader = ::FindWindowW(L"Quillfeed_FrameWindowClass", nullptr))
        ::PostMessageW(hReader, WM_CLOSE, 0, 0);
    ::ShellExecuteW(m_hWnd, L"open", m_download.PackagePath(), nullptr, nullptr, SW_SHOW);
    m_download.ReleasePackage();

    DestroyWindow();
    ::PostQuitMessage(1);
    return 0;
}

LRESULT CMainDlg::OnDownloadFailed(WORD wNotifyCode, WORD, HWND, BOOL&)
{
    if (!m_download.TakeOutcome(wNotifyCode, CDownloadStatusCallBack::Outcome::Failed))
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
