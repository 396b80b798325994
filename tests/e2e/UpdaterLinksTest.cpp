// The two link labels of the running update program: painted as links, a
// mouse click opens the publisher's page in the browser (the http recorder of
// the test prefix), and the label repaints in the visited colour.
#include "PublisherUrl.h"
#include "UpdaterSession.h"

#include <gtest/gtest.h>

#include <string>

using namespace qftest;

namespace
{
constexpr COLORREF kLinkColour = RGB(0, 0, 255);
constexpr COLORREF kVisitedColour = RGB(128, 0, 128);

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// A left click as the mouse delivers it, a few pixels into the label's text.
void ClickText(HWND hLabel)
{
    POINT pt{4, 4};
    ::ClientToScreen(hLabel, &pt);
    ::SetCursorPos(pt.x, pt.y);
    INPUT input[2]{};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    ::SendInput(2, input, sizeof(INPUT));
}

void ExpectClickOpens(UpdaterSession& updater, const ScratchDir& record, int id, const std::wstring& url)
{
    HWND hLabel = updater.item(id);
    ASSERT_NE(hLabel, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return ScreenPixels(hLabel).Count(kLinkColour) > 10; }))
        << "the label is not painted in the link colour";
    EXPECT_EQ(ScreenPixels(hLabel).Count(kVisitedColour), 0u);

    ClickText(hLabel);
    const std::string line = Narrow(url) + "\n";
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(record.file(L"opened.txt")).find(line) != std::string::npos; }))
        << "opened: " << ReadFileBytes(record.file(L"opened.txt"));
    EXPECT_TRUE(WaitUntil([&] {
        return ScreenPixels(hLabel).Count(kVisitedColour) > 10 && ScreenPixels(hLabel).Count(kLinkColour) == 0;
    })) << "the label did not repaint in the visited colour";
}
} // namespace

TEST(UpdaterLinks, ClickingEachLabelOpensItsPageAndShowsItVisited)
{
    ScratchDir record;
    LaunchOptions options;
    options.environment.push_back(L"QF_HTTP_RECORD=" + record.file(L"opened.txt"));
    UpdaterSession updater(options);
    ASSERT_NE(updater.dialog(), nullptr);
    EXPECT_EQ(WindowText(updater.item(1010)), L"What's New:");
    EXPECT_EQ(WindowText(updater.item(1009)), L"How to upgrade?");

    const std::wstring whatsNewPage = QUILLFEED_PUBLISHER_URL + std::wstring(kWhatsNewPagePath);
    const std::wstring howToUpgradePage = QUILLFEED_PUBLISHER_URL + std::wstring(kHowToUpgradePagePath);
    ExpectClickOpens(updater, record, 1010, whatsNewPage);
    ExpectClickOpens(updater, record, 1009, howToUpgradePage);
    EXPECT_EQ(ReadFileBytes(record.file(L"opened.txt")), Narrow(whatsNewPage + L"\n" + howToUpgradePage + L"\n"));

    ::PostMessageW(updater.dialog(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitClosed));
}
