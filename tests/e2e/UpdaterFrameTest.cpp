// The update dialog as a user meets it: its controls, where and how it shows,
// its keyboard handling, and the ways it closes.
#include "UpdaterSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace qftest;

namespace
{
struct ExpectedControl
{
    int id;
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
};

// The template's controls in their order. A double ampersand in a template
// text is stored as one when read back at run time.
const ExpectedControl kControls[] = {
    {1000, L"Edit", nullptr, 0x50A00804}, // holds the What's New text (WhatsNew tests)
    {1005, L"Button", L"Download && Upgrade", 0x50010001},
    {1007, L"Button", L"Installer version", 0x50020009},
    {1008, L"Button", L"Zipped version", 0x50000009},
    {2, L"Button", L"Close", 0x50010000},
    {1006, L"Static", L"Downloading...", 0x40020000},
    {1002, L"msctls_progress32", L"", 0x40800000},
    {1009, L"Static", L"How to upgrade?", 0x50020000},
    {1010, L"Static", L"What's New:", 0x50020000},
};

// The window-style bits that stay as the template gave them at run time. The
// edit box and the progress bar trade WS_BORDER for an extended edge, and a
// checked radio button gains WS_TABSTOP, so those are compared in the
// template itself (DialogTemplate tests), not here.
constexpr DWORD kRunTimeStyleBits = WS_POPUP | WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_GROUP;

RECT WorkArea()
{
    RECT rc{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &rc, 0);
    return rc;
}

void ExpectCentredOn(const RECT& window, const RECT& area)
{
    const int cx = window.right - window.left;
    const int cy = window.bottom - window.top;
    EXPECT_EQ(window.left, (area.left + area.right) / 2 - cx / 2);
    EXPECT_EQ(window.top, (area.top + area.bottom) / 2 - cy / 2);
}
} // namespace

TEST(UpdaterDialog, ShowsTheNineTemplateControlsInOrder)
{
    UpdaterSession updater;
    ASSERT_NE(updater.dialog(), nullptr);

    EXPECT_EQ(WindowText(updater.dialog()), kDialogCaption);
    const DWORD dialogStyle = static_cast<DWORD>(::GetWindowLongW(updater.dialog(), GWL_STYLE));
    EXPECT_EQ(dialogStyle & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME | WS_CHILD),
              static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));

    HWND child = ::GetWindow(updater.dialog(), GW_CHILD);
    for (const auto& expected : kControls)
    {
        SCOPED_TRACE(expected.id);
        ASSERT_NE(child, nullptr) << "fewer controls than the template has";
        EXPECT_EQ(::GetDlgCtrlID(child), expected.id);
        EXPECT_EQ(_wcsicmp(ClassNameOf(child).c_str(), expected.className), 0) << ClassNameOf(child).c_str();
        if (expected.text)
        {
            std::wstring text = expected.text;
            for (auto pos = text.find(L"&&"); pos != std::wstring::npos; pos = text.find(L"&&", pos + 1))
                text.erase(pos, 1);
            // Buttons keep the ampersand pair in their text; only the display folds it.
            EXPECT_TRUE(WindowText(child) == expected.text || WindowText(child) == text);
        }
        const DWORD style = static_cast<DWORD>(::GetWindowLongW(child, GWL_STYLE));
        EXPECT_EQ(style & kRunTimeStyleBits, expected.style & kRunTimeStyleBits);
        EXPECT_EQ(::IsWindowVisible(child) != FALSE, (expected.style & WS_VISIBLE) != 0);
        child = ::GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "more controls than the template has";

    ::PostMessageW(updater.dialog(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitClosed));
}

TEST(UpdaterDialog, IsCentredOnTheWorkArea)
{
    UpdaterSession updater;
    ASSERT_NE(updater.dialog(), nullptr);
    RECT window{};
    ::GetWindowRect(updater.dialog(), &window);
    ExpectCentredOn(window, WorkArea());
}

TEST(UpdaterDialog, MinimisedShowCommandShowsItMinimisedAndStillCentred)
{
    LaunchOptions options;
    options.showCommand = SW_SHOWMINNOACTIVE;
    UpdaterSession updater(options);
    ASSERT_NE(updater.dialog(), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return ::IsIconic(updater.dialog()) != FALSE; }));

    ::ShowWindowAsync(updater.dialog(), SW_RESTORE);
    ASSERT_TRUE(WaitUntil([&] { return !::IsIconic(updater.dialog()); }));
    // Under Wine the restored position can arrive a moment after the state:
    // wait for the window to leave the minimised spot before comparing.
    RECT window{};
    const RECT area = WorkArea();
    WaitUntil([&] {
        ::GetWindowRect(updater.dialog(), &window);
        return window.left == (area.left + area.right) / 2 - (window.right - window.left) / 2 &&
               window.top == (area.top + area.bottom) / 2 - (window.bottom - window.top) / 2;
    });
    ExpectCentredOn(window, area);
}

TEST(UpdaterDialog, CloseButtonEndsWithExitCodeTwo)
{
    UpdaterSession updater;
    ASSERT_NE(updater.dialog(), nullptr);
    ::PostMessageW(updater.item(IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitClosed));
}

TEST(UpdaterDialog, EscapeKeyEndsWithExitCodeTwo)
{
    UpdaterSession updater;
    ASSERT_NE(updater.dialog(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return updater.Focus() != nullptr; }));
    updater.PressKey(VK_ESCAPE);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitClosed));
}

TEST(UpdaterDialog, CaptionCloseBoxEndsWithExitCodeTwo)
{
    UpdaterSession updater;
    ASSERT_NE(updater.dialog(), nullptr);
    ::PostMessageW(updater.dialog(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitClosed));
}

TEST(UpdaterDialog, CloseCommandWithAnyNotificationCodeEndsWithExitCodeTwo)
{
    UpdaterSession updater;
    ASSERT_NE(updater.dialog(), nullptr);
    ::PostMessageW(updater.dialog(), WM_COMMAND, MAKEWPARAM(IDCANCEL, 0x1234), 0);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitClosed));
}

// The radio buttons and the links carry no tab stop in the template. Checking
// an automatic radio button gives it one (the button control does that, on
// Windows as under Wine), so the checked choice is reachable by Tab as well.
TEST(UpdaterDialog, TabVisitsOnlyDownloadCloseAndTheCheckedChoice)
{
    UpdaterSession updater;
    ASSERT_NE(updater.dialog(), nullptr);
    HWND download = updater.item(1005);
    HWND close = updater.item(IDCANCEL);
    std::vector<HWND> expected{download, close};
    for (int radio : {1007, 1008})
    {
        if (::SendMessageW(updater.item(radio), BM_GETCHECK, 0, 0) == BST_CHECKED)
            expected.push_back(updater.item(radio));
    }

    ASSERT_TRUE(WaitUntil([&] { return updater.Focus() == download; }))
        << "the download button should have the first focus";
    std::vector<HWND> visited{download};
    for (size_t i = 0; i < expected.size(); ++i)
    {
        HWND before = updater.Focus();
        updater.PressKey(VK_TAB);
        ASSERT_TRUE(WaitUntil([&] { return updater.Focus() != before; })) << "Tab did not move the focus";
        visited.push_back(updater.Focus());
    }
    EXPECT_EQ(visited.back(), download) << "Tab should come round to the download button";
    visited.pop_back();
    std::sort(visited.begin(), visited.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(visited, expected);
}

TEST(UpdaterDialog, CommandLineTextChangesNothing)
{
    LaunchOptions options;
    options.arguments = L"/silent --url=http://elsewhere.invalid/x.zip \"C:\\no such file\"";
    UpdaterSession updater(options);
    ASSERT_NE(updater.dialog(), nullptr);
    EXPECT_EQ(WindowText(updater.item(1005)), L"Download && Upgrade");
    EXPECT_FALSE(::IsWindowVisible(updater.item(1002)));
    ::PostMessageW(updater.dialog(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitClosed));
}
