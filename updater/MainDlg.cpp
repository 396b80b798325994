#include "MainDlg.h"

CMainDlg::~CMainDlg()
{
    if (m_hWhatsNewFont && ::DeleteObject(m_hWhatsNewFont))
        m_hWhatsNewFont = nullptr;
}

BOOL CMainDlg::PreTranslateMessage(MSG* pMsg)
{
    return ::IsDialogMessageW(m_hWnd, pMsg);
}

BOOL CMainDlg::OnIdle()
{
    return FALSE;
}

LRESULT CMainDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    // 1. The packaging choice from the settings file.
    m_nPackaging = 0;

    // 2. Centred on the work area before it is ever shown.
    CenterWindow();

    // 3. Icon 128 is not shipped, so both loads give nothing and the window
    //    keeps the system's default icon.
    HICON hIcon = static_cast<HICON>(::LoadImageW(g_appModule.GetResourceInstance(),
        MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
        ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    SetIcon(hIcon, TRUE);
    HICON hIconSmall = static_cast<HICON>(::LoadImageW(g_appModule.GetResourceInstance(),
        MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
        ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    SetIcon(hIconSmall, FALSE);

    // 4. Keyboard handling and idle work through the thread's message loop.
    CMessageLoop* pLoop = g_appModule.GetMessageLoop();
    if (pLoop)
    {
        pLoop->AddMessageFilter(this);
        pLoop->AddIdleHandler(this);
    }

    // 5.
    UIAddChildWindowContainer(m_hWnd);

    // 6-7. The What's New font and text.

    // 8.
    m_hProgress = GetDlgItem(IDC_PROGRESS);
    m_hStatusText = GetDlgItem(IDC_STATUS_TEXT);

    // 9.
    m_bDownloading = false;

    // 10. The radio buttons from the packaging choice.
    ExchangeRadioGroup(IDC_INSTALLER_VERSION, m_nPackaging, FALSE);

    // 11. The link labels.

    // 12. The system puts the focus on the first tab stop, the download button.
    return TRUE;
}

LRESULT CMainDlg::OnDownload(WORD, WORD, HWND, BOOL&)
{
    // 1-2. The packaging choice, saved on every click.
    ExchangeRadioGroup(IDC_INSTALLER_VERSION, m_nPackaging, TRUE);

    // 3. Stop the running download, or start one.
    if (m_bDownloading)
    {
        StopDownload();
        ::SetDlgItemTextW(m_hWnd, IDC_DOWNLOAD, L"Download && Install");
    }
    else
    {
        StartDownload();
    }
    return 0;
}

LRESULT CMainDlg::OnClose(WORD, WORD wID, HWND, BOOL&)
{
    if (m_bDownloading)
        StopDownload();
    DestroyWindow();
    ::PostQuitMessage(wID);
    return 0;
}
