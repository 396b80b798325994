#include "MainDlg.h"

#include "PublisherUrl.h"
#include "WhatsNew.h"

#include <cstdio>
#include <new>
#include <string>

namespace
{
const wchar_t kSettingsSection[] = L"ActiveUpdater";
const wchar_t kPackagingKey[] = L"Packaging";
const wchar_t kWhatsNewFailed[] = L"Failed to reterieve What's New infomation";

// The settings file lives in the current directory, which the starter chose.
void SettingsFilePath(wchar_t (&szPath)[MAX_PATH])
{
    ::lstrcpynW(szPath, L"./Quillfeed.ini", MAX_PATH);
}
} // namespace

// The members go in reverse order: the two labels, the icons, the What's New
// font, then the download job; the window is gone by now.
CMainDlg::~CMainDlg() = default;

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
    // The packaging choice from the settings file.
    wchar_t szSettings[MAX_PATH];
    SettingsFilePath(szSettings);
    m_nPackaging = static_cast<int>(::GetPrivateProfileIntW(kSettingsSection, kPackagingKey, 0, szSettings));

    // Centred on the work area before it is ever shown.
    CenterWindow();

    // Icon 128 is not shipped, so both loads give nothing and the window
    // keeps the system's default icon. Should one ever be loaded, the dialog
    // owns it until the window is gone.
    m_hIcon.reset(static_cast<HICON>(::LoadImageW(g_appModule.GetResourceInstance(),
        MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
        ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR)));
    SetIcon(m_hIcon.get(), TRUE);
    m_hIconSmall.reset(static_cast<HICON>(::LoadImageW(g_appModule.GetResourceInstance(),
        MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
        ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR)));
    SetIcon(m_hIconSmall.get(), FALSE);

    // Keyboard handling and idle work through the thread's message loop.
    CMessageLoop* pLoop = g_appModule.GetMessageLoop();
    if (pLoop)
    {
        pLoop->AddMessageFilter(this);
        pLoop->AddIdleHandler(this);
    }

    // The update-UI map reaches the dialog's own controls.
    UIAddChildWindowContainer(m_hWnd);

    // The font before the text, so the text is never drawn in the dialog's own font.
    CreateWhatsNewFont();
    ShowWhatsNew();

    m_hProgress = GetDlgItem(IDC_PROGRESS);
    m_hStatusText = GetDlgItem(IDC_STATUS_TEXT);

    m_bDownloading = false;

    // The radio buttons from the packaging choice.
    ExchangeRadioGroup(IDC_INSTALLER_VERSION, m_nPackaging, FALSE);

    // The link labels keep the statics' own texts and open the publisher's pages.
    m_linkWhatsNew.SubclassWindow(GetDlgItem(IDC_WHATSNEW_LINK));
    m_linkWhatsNew.SetHyperLink(QUILLFEED_PUBLISHER_URL L"/whatsnew.html");
    m_linkHowToUpgrade.SubclassWindow(GetDlgItem(IDC_HOWTO_UPGRADE));
    m_linkHowToUpgrade.SetHyperLink(QUILLFEED_PUBLISHER_URL L"/blog/14");

    // The system puts the focus on the first tab stop, the download button.
    return TRUE;
}

void CMainDlg::CreateWhatsNewFont()
{
    m_hWhatsNewFont.reset(::CreateFontW(16, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET, 0, 0, 0,
                                        FF_SWISS, L"Courier New"));
    if (m_hWhatsNewFont)
        ::SendMessageW(GetDlgItem(IDC_WHATSNEW_TEXT), WM_SETFONT,
                       reinterpret_cast<WPARAM>(m_hWhatsNewFont.get()), TRUE);
}

// A synchronous fetch, bounded in bytes and time, before the dialog is ever shown.
void CMainDlg::ShowWhatsNew()
{
    HWND hText = GetDlgItem(IDC_WHATSNEW_TEXT);
    // Out of memory here would otherwise leave the rest of the dialog's
    // set-up undone; the text then counts as not retrieved.
    try
    {
        std::string bytes;
        if (FetchStartTexts(m_release, bytes) != S_OK)
        {
            ::SetWindowTextW(hText, kWhatsNewFailed);
            return;
        }
        std::wstring strText;
        ReadTextFromBytes(bytes, strText);
        ExpandLineFeeds(strText);
        ::SetWindowTextW(hText, strText.c_str());
    }
    catch (const std::bad_alloc&)
    {
        ::SetWindowTextW(hText, kWhatsNewFailed);
    }
}

LRESULT CMainDlg::OnDownload(WORD, WORD, HWND, BOOL&)
{
    // The choice is stored on every click, whether it starts or stops a download.
    ExchangeRadioGroup(IDC_INSTALLER_VERSION, m_nPackaging, TRUE);
    wchar_t szSettings[MAX_PATH];
    SettingsFilePath(szSettings);
    wchar_t szValue[32];
    swprintf(szValue, 32, L"%d", m_nPackaging);
    ::WritePrivateProfileStringW(kSettingsSection, kPackagingKey, szValue, szSettings);

    // Stop the running download, or start one.
    if (m_bDownloading)
    {
        StopDownload();
        ::SetDlgItemTextW(m_hWnd, IDC_DOWNLOAD, L"Download && Install");
    }
    else if (m_release.Refusal() != S_OK)
    {
        // Nothing is fetched that the publisher's manifest does not vouch for.
        MessageBox(ReleaseFailureText(m_release.Refusal()).c_str(), L"", MB_OK);
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
