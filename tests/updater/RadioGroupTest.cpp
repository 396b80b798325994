// The radio-group exchange on the real dialog template, and the What's New
// font as the dialog sets it up.
#include "MainDlg.h"
#include "ModuleScope.h"

#include <gtest/gtest.h>

using qftest::ModuleScope;

namespace
{
// The update dialog's template without any of the update program's handlers.
class CRadioDlg : public CDialogImpl<CRadioDlg>, public CWinDataExchange<CRadioDlg>
{
public:
    enum
    {
        IDD = IDD_MAINDLG
    };
    // Everything goes to the default dialog processing.
    BOOL ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&, DWORD) override { return FALSE; }
};

class RadioGroup : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_NE(m_dlg.Create(nullptr), nullptr); }
    void TearDown() override
    {
        if (m_dlg.m_hWnd)
            m_dlg.DestroyWindow();
    }
    bool Checked(int id) { return ::SendMessageW(m_dlg.GetDlgItem(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
    void Check(int id, bool b)
    {
        ::SendMessageW(m_dlg.GetDlgItem(id), BM_SETCHECK, b ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    int Save()
    {
        int n = 12345;
        m_dlg.ExchangeRadioGroup(IDC_INSTALLER_VERSION, n, TRUE);
        return n;
    }
    void Load(int n) { m_dlg.ExchangeRadioGroup(IDC_INSTALLER_VERSION, n, FALSE); }

    ModuleScope m_module;
    CRadioDlg m_dlg;
};
} // namespace

TEST_F(RadioGroup, LoadChecksExactlyTheButtonAtThatPosition)
{
    Load(1);
    EXPECT_FALSE(Checked(IDC_INSTALLER_VERSION));
    EXPECT_TRUE(Checked(IDC_ZIPPED_VERSION));
    Load(0);
    EXPECT_TRUE(Checked(IDC_INSTALLER_VERSION));
    EXPECT_FALSE(Checked(IDC_ZIPPED_VERSION));
    // The Close button inside the group is no radio button and holds no position.
    for (int n : {2, -1, -7})
    {
        Load(n);
        EXPECT_FALSE(Checked(IDC_INSTALLER_VERSION)) << n;
        EXPECT_FALSE(Checked(IDC_ZIPPED_VERSION)) << n;
    }
}

TEST_F(RadioGroup, SaveGivesTheCheckedPositionMinusOneForNoneAndTheLastOfSeveral)
{
    EXPECT_EQ(Save(), -1);
    Check(IDC_ZIPPED_VERSION, true);
    EXPECT_EQ(Save(), 1);
    Check(IDC_INSTALLER_VERSION, true);
    EXPECT_EQ(Save(), 0);

    // Checking an automatic radio button here unchecks the other, so two
    // checked at once take plain radio buttons.
    for (int id : {IDC_INSTALLER_VERSION, IDC_ZIPPED_VERSION})
    {
        ::SendMessageW(m_dlg.GetDlgItem(id), BM_SETSTYLE, BS_RADIOBUTTON, FALSE);
        Check(id, true);
    }
    ASSERT_TRUE(Checked(IDC_INSTALLER_VERSION) && Checked(IDC_ZIPPED_VERSION));
    EXPECT_EQ(Save(), 1);
}

TEST_F(RadioGroup, EndsAtTheNextControlWithTheGroupStyle)
{
    // A radio button after the last control of the dialog: past the status
    // text's WS_GROUP, so outside the group.
    HWND hExtra = ::CreateWindowExW(0, L"BUTTON", L"extra", WS_CHILD | BS_AUTORADIOBUTTON, 0, 0, 10, 10, m_dlg,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(4000)), nullptr, nullptr);
    ASSERT_NE(hExtra, nullptr);
    ASSERT_EQ(::GetWindow(m_dlg.GetDlgItem(IDC_WHATSNEW_LINK), GW_HWNDNEXT), hExtra);
    Load(2);
    EXPECT_FALSE(Checked(4000));
    Check(4000, true);
    EXPECT_EQ(Save(), -1);

    // Without the WS_GROUP of the controls in between, the group reaches it
    // and it is the third position.
    for (int id : {IDC_STATUS_TEXT, IDC_HOWTO_UPGRADE, IDC_WHATSNEW_LINK})
    {
        HWND h = m_dlg.GetDlgItem(id);
        ::SetWindowLongW(h, GWL_STYLE, ::GetWindowLongW(h, GWL_STYLE) & ~WS_GROUP);
    }
    EXPECT_EQ(Save(), 2);
    Load(2);
    EXPECT_TRUE(Checked(4000));
    EXPECT_FALSE(Checked(IDC_INSTALLER_VERSION));
}

TEST(MainDialog, WhatsNewBoxUsesTheCourierNewFontOfTheDialog)
{
    ModuleScope module;
    CMessageLoop loop;
    g_appModule.AddMessageLoop(&loop);
    HFONT hFont = nullptr;
    {
        CMainDlg dlg;
        ASSERT_NE(dlg.Create(nullptr), nullptr);
        hFont = reinterpret_cast<HFONT>(::SendMessageW(dlg.GetDlgItem(IDC_WHATSNEW_TEXT), WM_GETFONT, 0, 0));
        ASSERT_NE(hFont, nullptr);
        LOGFONTW lf{};
        ASSERT_EQ(::GetObjectW(hFont, sizeof(lf), &lf), static_cast<int>(sizeof(lf)));
        EXPECT_STREQ(lf.lfFaceName, L"Courier New");
        EXPECT_EQ(lf.lfHeight, 16);
        EXPECT_EQ(lf.lfWeight, FW_NORMAL);
        EXPECT_EQ(lf.lfCharSet, ANSI_CHARSET);
        EXPECT_EQ(lf.lfPitchAndFamily, FF_SWISS);
        EXPECT_FALSE(lf.lfItalic || lf.lfUnderline || lf.lfStrikeOut);
        // The dialog font of the other controls is not touched.
        EXPECT_NE(reinterpret_cast<HFONT>(::SendMessageW(dlg.GetDlgItem(IDCANCEL), WM_GETFONT, 0, 0)), hFont);
        dlg.DestroyWindow();
        // The dialog owns the font until it goes itself...
        EXPECT_EQ(::GetObjectType(hFont), static_cast<DWORD>(OBJ_FONT));
    }
    // ...and then deletes it.
    EXPECT_EQ(::GetObjectType(hFont), 0u);
    g_appModule.RemoveMessageLoop();
}
