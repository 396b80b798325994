#include "MainDlg.h"

#include "PublisherUrl.h"
#include "UpdaterNames.h"
#include "WhatsNew.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <new>
#include <string>

namespace
{
// The publisher's base URL and a path, joined when the program is compiled:
// the dialog's set-up has nothing to allocate for its addresses.
template <size_t nBase, size_t nPath>
constexpr std::array<wchar_t, nBase + nPath - 1> PublisherAddress(const wchar_t (&szBase)[nBase],
                                                                  const wchar_t (&szPath)[nPath])
{
    std::array<wchar_t, nBase + nPath - 1> text{};
    for (size_t i = 0; i + 1 < nBase; ++i)
        text[i] = szBase[i];
    for (size_t i = 0; i < nPath; ++i)
        text[nBase - 1 + i] = szPath[i];
    return text;
}
constexpr auto kWhatsNewTextUrl = PublisherAddress(QUILLFEED_PUBLISHER_URL, kWhatsNewTextPath);
constexpr auto kWhatsNewPageUrl = PublisherAddress(QUILLFEED_PUBLISHER_URL, kWhatsNewPagePath);
constexpr auto kHowToUpgradePageUrl = PublisherAddress(QUILLFEED_PUBLISHER_URL, kHowToUpgradePagePath);

// The settings file lives in the current directory, which the starter chose.
void SettingsFilePath(wchar_t (&szPath)[MAX_PATH])
{
    ::lstrcpynW(szPath, kSettingsFilePath, MAX_PATH);
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
    m_hIcon.reset(static_cast<HICON>(::LoadImageW(g_appModule.GetResourceInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                  IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                                  ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR)));
    SetIcon(m_hIcon.get(), TRUE);
    m_hIconSmall.reset(static_cast<HICON>(
        ::LoadImageW(g_appModule.GetResourceInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                     ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR)));
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
    m_linkWhatsNew.SetHyperLink(kWhatsNewPageUrl.data());
    m_linkHowToUpgrade.SubclassWindow(GetDlgItem(IDC_HOWTO_UPGRADE));
    m_linkHowToUpgrade.SetHyperLink(kHowToUpgradePageUrl.data());

    // The system puts the focus on the first tab stop, the download button.
    return TRUE;
}

void CMainDlg::CreateWhatsNewFont()
{
    // 16 pixels high at 96 DPI. The program is aware of the system's DPI, so
    // the system scales the dialog but not a size given in pixels: that is
    // scaled here, or the text would shrink beside the rest of the dialog.
    // (A window's DC is not refused in practice; were it, 96 DPI's size stays.)
    const unique_hdc_window dc(m_hWnd);
    const int nDpi = dc.get() ? ::GetDeviceCaps(dc.get(), LOGPIXELSY) : 96;
    m_hWhatsNewFont.reset(::CreateFontW(::MulDiv(16, nDpi, 96), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                                        0, 0, 0, FF_SWISS, L"Courier New"));
    if (m_hWhatsNewFont)
        ::SendMessageW(GetDlgItem(IDC_WHATSNEW_TEXT), WM_SETFONT, reinterpret_cast<WPARAM>(m_hWhatsNewFont.get()),
                       TRUE);
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
            ::SetWindowTextW(hText, kWhatsNewFailedText);
            return;
        }
        std::wstring strText;
        ReadTextFromBytes(bytes, strText);
        ExpandLineFeeds(strText);
        ::SetWindowTextW(hText, strText.c_str());
    }
    catch (const std::bad_alloc&)
    {
        ::SetWindowTextW(hText, kWhatsNewFailedText);
    }
}

LRESULT CMainDlg::OnDownload(WORD, WORD, HWND, BOOL&)
{
    // A click that reaches the dialog while the ready box is up (posted to it:
    // the box disables the dialog) would start a run that gives up the
    // package about to be handed off.
    if (m_bHandingOff)
        return 0;
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
