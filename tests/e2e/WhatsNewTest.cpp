// The What's New box as the user meets it: the real updater, started against
// the loopback publisher, showing what the server delivered.
#include "Publisher.h"

#include "UpdaterSession.h"

#include <gtest/gtest.h>

using namespace qftest;

namespace
{
// Starts the updater against a publisher that serves body as the What's New
// text (or misbehaves as set up) and returns what the box shows.
std::wstring WhatsNewShown(Publisher&)
{
    UpdaterSession updater;
    if (!updater.dialog())
        return L"<no dialog>";
    const std::wstring text = WindowText(updater.item(1000));
    ::PostMessageW(updater.item(IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitClosed));
    return text;
}

std::wstring WhatsNewShown(const std::string& body)
{
    Publisher publisher;
    publisher.SetContent("/whatsnew.txt", body);
    const std::wstring text = WhatsNewShown(publisher);
    EXPECT_EQ(publisher.RequestCount("/whatsnew.txt"), 1);
    return text;
}

const wchar_t kFailure[] = L"Failed to reterieve What's New infomation";
} // namespace

TEST(WhatsNew, LineEndsBecomeWhatTheEditBoxShows)
{
    EXPECT_EQ(WhatsNewShown("Version 2.1\nFaster feeds\n"), L"Version 2.1\r\nFaster feeds\r\n");
    // A CR in front of the LF is kept and gets one more.
    EXPECT_EQ(WhatsNewShown("one\r\ntwo"), L"one\r\r\ntwo");
}

TEST(WhatsNew, ZeroByteEndsTheTextAndAnEmptyFileShowsAnEmptyBox)
{
    EXPECT_EQ(WhatsNewShown(std::string("shown\0hidden", 12)), L"shown");
    EXPECT_EQ(WhatsNewShown(""), L"");
}

TEST(WhatsNew, BytesAreTakenInTheAnsiCodePage)
{
    // UTF-8 "café" read as code page 1252 (Wine's default), and a byte that
    // 1252 does not define still shows as the conversion gives it.
    const std::wstring shown = WhatsNewShown("caf\xC3\xA9 \x81!");
    EXPECT_EQ(shown.substr(0, 6), L"caf\u00C3\u00A9 ");
    EXPECT_EQ(shown.size(), 8u);
    EXPECT_EQ(shown.back(), L'!');
}

TEST(WhatsNew, ErrorPagesAndAnAbsentServerShowTheFailureText)
{
    {
        Publisher publisher;
        publisher.SetStatus("/whatsnew.txt", 404);
        EXPECT_EQ(WhatsNewShown(publisher), kFailure);
    }
    {
        Publisher publisher;
        publisher.SetContent("/whatsnew.txt", "never shown");
        publisher.SetStatus("/whatsnew.txt", 500);
        EXPECT_EQ(WhatsNewShown(publisher), kFailure);
    }
    // Nobody listens on the publisher's port.
    UpdaterSession updater;
    ASSERT_NE(updater.dialog(), nullptr);
    EXPECT_EQ(WindowText(updater.item(1000)), kFailure);
}

TEST(WhatsNew, TextWithoutContentLengthArrivesWhole)
{
    Publisher publisher;
    publisher.SetContent("/whatsnew.txt", "no length given\n");
    publisher.SetOmitContentLength("/whatsnew.txt");
    EXPECT_EQ(WhatsNewShown(publisher), L"no length given\r\n");
}

TEST(WhatsNew, ATextCutShortByTheServerShowsTheFailureText)
{
    Publisher publisher;
    publisher.SetContent("/whatsnew.txt", std::string(5000, 'n'));
    publisher.SetDropAfter("/whatsnew.txt", 1000);
    EXPECT_EQ(WhatsNewShown(publisher), kFailure);
}
