// Lantern hands an item to Live Writer, as the feed reader's user meets it:
// the plugin host blogs the item, the editor stand-in records what reached
// its application object, and the test answers the plugin's message boxes.
#include "BridgeSession.h"

#include "EditorApplication.h"
#include "Lantern.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace qftest;
using qfplugin::lantern::kCaption;

namespace
{
const std::wstring kPrefix = qfplugin::lantern::kFailedPrefix;
const std::wstring kApplicationIid = IdText(qfplugin::lantern::kIidApplication);
// The editor object is made for IUnknown and asked for its interface after
// it runs.
const std::wstring kCreatedForIUnknown = L"create-iid {00000000-0000-0000-C000-000000000046}";

const std::string kItem = RssItem(L"T: caf\u00e9 & <b>more</b>", L"D\nline two", L"http://example.org/p?a=1&b='2'");

std::vector<std::wstring> HandedOver(const std::wstring& title, const std::wstring& link,
                                     const std::wstring& description, const std::wstring& result = L"0x00000000")
{
    return {L"created",
            kCreatedForIUnknown,
            L"running",
            L"item",
            L"title: " + title,
            L"link: " + link,
            L"description: " + description,
            L"result " + result};
}

// The plugin's box, read and answered the way the user would.
MessageBoxInfo AnswerBox(Process& host)
{
    const MessageBoxInfo box = WaitForMessageBox(host.id());
    EXPECT_NE(box.hWnd, nullptr) << "no message box";
    EXPECT_TRUE(box.icon);
    EXPECT_TRUE(box.OkOnly());
    if (box.hWnd)
        AnswerMessageBox(box);
    return box;
}
} // namespace

TEST(LanternBridge, ItemReachesEntryNineAsTitleLinkDescription)
{
    BridgeSession session;
    Process& host = session.Start(LanternPath(), kItem);
    ASSERT_EQ(host.Wait(), 0u) << "BlogThis did not return without a box";

    auto expected = HandedOver(L"T: caf\u00e9 & <b>more</b>", L"http://example.org/p?a=1&b='2'", L"D\nline two");
    expected.push_back(L"released");
    EXPECT_EQ(session.LiveWriterEvents(), expected);
}

TEST(LanternBridge, EmptyDescriptionIsPassedAsAnEmptyString)
{
    BridgeSession session;
    Process& host = session.Start(LanternPath(), RssItem(L"T", L"", L"L"));
    ASSERT_EQ(host.Wait(), 0u);

    auto expected = HandedOver(L"T", L"L", L"");
    expected.push_back(L"released");
    EXPECT_EQ(session.LiveWriterEvents(), expected);
}

TEST(LanternBridge, FalseResultIsSuccessWithoutABox)
{
    BridgeSession session;
    Process& host = session.Start(LanternPath(), RssItem(L"T", L"D", L"L"), {L"QF_LIVEWRITER_RESULT=S_FALSE"});
    ASSERT_EQ(host.Wait(), 0u) << "BlogThis did not return without a box";

    auto expected = HandedOver(L"T", L"L", L"D", L"0x00000001");
    expected.push_back(L"released");
    EXPECT_EQ(session.LiveWriterEvents(), expected);
}

TEST(LanternBridge, FailingResultShowsItsTextAfterThePrefix)
{
    const HRESULT failures[] = {static_cast<HRESULT>(0x80040201), E_ACCESSDENIED, static_cast<HRESULT>(0xE0000001)};
    for (HRESULT hr : failures)
    {
        SCOPED_TRACE(hr);
        wchar_t code[16]{};
        std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
        BridgeSession session;
        Process& host = session.Start(LanternPath(), RssItem(L"T", L"D", L"L"),
                                      {std::wstring(L"QF_LIVEWRITER_RESULT=") + code});
        const MessageBoxInfo box = AnswerBox(host);
        EXPECT_EQ(box.caption, kCaption);
        EXPECT_EQ(box.text, kPrefix + ComErrorText(hr));
        EXPECT_EQ(host.Wait(), 0u);

        // The error information of the call is asked for the application
        // interface before the failure is raised; the object is released.
        auto expected = HandedOver(L"T", L"L", L"D", code);
        expected.push_back(L"errorinfo-asked " + kApplicationIid);
        expected.push_back(L"released");
        EXPECT_EQ(session.LiveWriterEvents(), expected);
    }
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x80040201)), L"IDispatch error #1");
}

TEST(LanternBridge, ClassNotRegisteredShowsTheCreationFailure)
{
    EditorClassUnregistered unregistered;
    BridgeSession session;
    Process& host = session.Start(LanternPath(), RssItem(L"T", L"D", L"L"));
    const MessageBoxInfo box = AnswerBox(host);
    EXPECT_EQ(box.caption, kCaption);
    EXPECT_EQ(box.text, kPrefix + ComErrorText(REGDB_E_CLASSNOTREG));
    EXPECT_EQ(host.Wait(), 0u);
    EXPECT_FALSE(FileExists(session.liveWriterLog())) << "something of the editor was made";
}

TEST(LanternBridge, ObjectWithoutTheInterfaceShowsTheTextOfEPointer)
{
    BridgeSession session;
    Process& host = session.Start(LanternPath(), RssItem(L"T", L"D", L"L"), {L"QF_LIVEWRITER_MODE=nointerface"});
    const MessageBoxInfo box = AnswerBox(host);
    EXPECT_EQ(box.caption, kCaption);
    EXPECT_EQ(box.text, kPrefix + ComErrorText(E_POINTER));
    EXPECT_NE(box.text, kPrefix + ComErrorText(E_NOINTERFACE));
    EXPECT_EQ(host.Wait(), 0u);
    EXPECT_EQ(session.LiveWriterEvents(),
              (std::vector<std::wstring>{L"created", kCreatedForIUnknown, L"running", L"released"}));
}

TEST(LanternBridge, ObjectThatCannotRunShowsTheFailureOfOleRun)
{
    BridgeSession session;
    Process& host = session.Start(LanternPath(), RssItem(L"T", L"D", L"L"),
                                  {L"QF_LIVEWRITER_MODE=runfails", L"QF_LIVEWRITER_RUN_RESULT=0x80040203"});
    const MessageBoxInfo box = AnswerBox(host);
    EXPECT_EQ(box.text, kPrefix + ComErrorText(static_cast<HRESULT>(0x80040203)));
    EXPECT_EQ(host.Wait(), 0u);
    EXPECT_EQ(session.LiveWriterEvents(),
              (std::vector<std::wstring>{L"created", kCreatedForIUnknown, L"run-refused 0x80040203", L"released"}));
}

// The reader may blog again while the failure box is up (it has no owner, so
// the reader's windows stay enabled): the second call starts from nothing,
// makes a new editor object and hands the item over.
TEST(LanternBridge, CallAfterAFailureTriesAgainFromTheStart)
{
    BridgeSession session;
    const std::wstring nestedItem = session.dir().file(L"nested.xml");
    WriteFileBytes(nestedItem, RssItem(L"T2", L"D2", L"L2"));
    Process& host = session.Start(LanternPath(), RssItem(L"T1", L"D1", L"L1"),
                                  {L"QF_LIVEWRITER_MODE=nointerface,", L"QF_LIVEWRITER_RESULT=S_OK"},
                                  L"--nested \"" + nestedItem + L"\"");
    const MessageBoxInfo box = WaitForMessageBox(host.id());
    ASSERT_NE(box.hWnd, nullptr);
    EXPECT_EQ(box.text, kPrefix + ComErrorText(E_POINTER));
    // The nested call runs inside the box's loop and shows no box of its own.
    EXPECT_TRUE(WaitUntil([&] {
        const auto events = session.LiveWriterEvents();
        return std::count(events.begin(), events.end(), L"released") == 2;
    }));
    AnswerMessageBox(box);
    EXPECT_EQ(host.Wait(), 0u);

    std::vector<std::wstring> expected{L"created", kCreatedForIUnknown, L"running", L"released"};
    for (const auto& e : HandedOver(L"T2", L"L2", L"D2"))
        expected.push_back(e);
    expected.push_back(L"released");
    EXPECT_EQ(session.LiveWriterEvents(), expected);
}

TEST(LanternBridge, MissingLinkNeverReachesTheEditor)
{
    BridgeSession session;
    Process& host = session.Start(LanternPath(), RssItem(L"T", L"D", std::nullopt));
    const MessageBoxInfo box = AnswerBox(host);
    EXPECT_EQ(box.text, kPrefix + ComErrorText(E_POINTER));
    EXPECT_EQ(host.Wait(), 0u);
    EXPECT_FALSE(FileExists(session.liveWriterLog()));
}
