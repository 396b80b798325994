// The dialog's side of the download: start, stop, and the three commands that
// the worker posts.
#include "MainDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include "PublisherUrl.h"

namespace
{
constexpr DWORD kStopWaitMs = 5000;

const wchar_t* PackagePath(int nPackaging)
{
    return nPackaging == 0 ? L"/dist/QuillfeedSetup.exe" : L"/dist/Quillfeed.zip";
}
} // namespace

void CMainDlg::StartDownload()
{
    // A worker whose stop wait timed out still reads the job's URL: the click
    // is ignored until it has reported its end.
    if (m_download.IsRunning())
        return;

    ::SendMessageW(m_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ::SendMessageW(m_hProgress, PBM_SETPOS, 0, 0);
    // What an earlier run posted before it ended is no longer news.
    m_download.NextRun();
    m_download.m_strUrl = std::wstring(QUILLFEED_PUBLISHER_URL) + PackagePath(m_nPackaging);
    m_download.m_hWndNotify = m_hWnd;
    m_download.m_bStop = false;
    m_download.Start();

    m_bDownloading = true;
    ::ShowWindow(m_hProgress, SW_SHOW);
    ::ShowWindow(m_hStatusText, SW_SHOW);
    ::SetDlgItemTextW(m_hWnd, IDC_DOWNLOAD, L"Stop Download");
}

void CMainDlg::StopDownload()
{
    m_download.m_bStop = true;
    ::WaitForSingleObjectEx(m_download.m_hThread.get(), kStopWaitMs, FALSE);
    m_bDownloading = false;
}

LRESULT CMainDlg::OnDownloadReady(WORD wNotifyCode, WORD, HWND, BOOL&)
{
    if (!m_download.IsOfCurrentRun(wNotifyCode))
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
    ::ShellExecuteW(m_hWnd, L"open", m_download.m_szFilePath, nullptr, nullptr, SW_SHOW);

    DestroyWindow();
    ::PostQuitMessage(1);
    return 0;
}

LRESULT CMainDlg::OnDownloadFailed(WORD wNotifyCode, WORD, HWND, BOOL&)
{
    if (!m_download.IsOfCurrentRun(wNotifyCode))
        return 0;
    MessageBox(m_download.m_strError.c_str(), L"", MB_OK);
    return 0;
}

LRESULT CMainDlg::OnDownloadProgress(WORD wNotifyCode, WORD, HWND, BOOL&)
{
    if (!m_download.IsOfCurrentRun(wNotifyCode))
        return 0;
    m_download.ProgressCommandTaken();
    CCritSecLock lock(m_download.m_cs);
    ::SetWindowTextW(m_hStatusText, m_download.m_szProgressText);
    ::SendMessageW(m_hProgress, PBM_SETPOS, static_cast<WPARAM>(m_download.m_nPercent), 0);
    return 0;
}
