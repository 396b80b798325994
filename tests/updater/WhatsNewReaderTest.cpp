// Turning the fetched What's New bytes into the edit box's text.
#include "WhatsNew.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
std::wstring Read(const std::string& bytes)
{
    std::wstring text;
    ReadTextFromBytes(bytes, text);
    return text;
}
} // namespace

TEST(WhatsNewText, ReadsTheBytesUpToTheFirstZeroInTheAnsiCodePage)
{
    EXPECT_EQ(Read("plain text\nline two"), L"plain text\nline two");
    EXPECT_EQ(Read(std::string("before\0after", 12)), L"before");
    EXPECT_EQ(Read(""), L"");
    // No byte-order mark is looked for: it is three characters of code page 1252.
    EXPECT_EQ(Read("\xEF\xBB\xBFhi"), L"\u00EF\u00BB\u00BFhi");
    // Nothing to show leaves the text as it was.
    std::wstring text = L"kept";
    ReadTextFromBytes(std::string("\0", 1), text);
    EXPECT_EQ(text, L"kept");
}

TEST(WhatsNewText, TheThreadsCodePageNotTheSystemsIsTheOneUsed)
{
    // A Japanese thread in a process whose system code page is 1252.
    ASSERT_EQ(::GetACP(), 1252u);
    const LCID lcidBefore = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
    const std::wstring text = Read("\x93\xFA\x96\x7B");
    ::SetThreadLocale(lcidBefore);
    EXPECT_EQ(text, L"\u65E5\u672C");
}

TEST(WhatsNewText, TheTextEndsInItsFirstLineLongerThanTheBoundAndNeverSplitsAPair)
{
    const std::wstring full(4096, L'w');
    const std::wstring less(4095, L'w');
    struct Case
    {
        const char* what;
        std::wstring text;
        std::wstring shown;
    };
    const Case cases[] = {
        {"a line of the bound, then CR LF", full + L"\r\nnext", full + L"\r\nnext"},
        {"a line of the bound, then LF", full + L"\nnext", full + L"\nnext"},
        {"a line of the bound at the end", full, full},
        {"one character more, then CR LF", full + L"x\r\nnext", full},
        {"a line of the bound and a CR, then text", full + L"\rx\nnext", full},
        {"a later line over the bound", L"first\r\n" + full + L"x", L"first\r\n" + full},
        {"a pair across the bound", less + L"\xD83D\xDE00x", less},
        {"a pair just inside the bound", less.substr(1) + L"\xD83D\xDE00x", less.substr(1) + L"\xD83D\xDE00"},
        {"a lone high surrogate at the bound", less + L"\xD83Dxy", less + L"\xD83D"},
        {"a lone low surrogate at the bound", less + L"\xDE00xy", less + L"\xDE00"},
    };
    for (const Case& c : cases)
    {
        std::wstring text = c.text;
        EndAtTheFirstOverlongLine(text);
        EXPECT_EQ(text.size(), c.shown.size()) << c.what;
        EXPECT_TRUE(text == c.shown) << c.what;
    }
}

TEST(WhatsNewText, OldSystemsTakeTheLocalesDefaultAnsiCodePage)
{
    EXPECT_EQ(LegacyThreadAnsiCodePage(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)),
              932u);
    EXPECT_EQ(LegacyThreadAnsiCodePage(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_RUSSIAN_RUSSIA), SORT_DEFAULT)),
              1251u);
    // A locale that cannot be read falls back to the system's code page.
    EXPECT_EQ(LegacyThreadAnsiCodePage(0x7777), ::GetACP());
}

TEST(ExpandLineFeeds, EveryLineFeedGetsACarriageReturnInFront)
{
    std::wstring text = L"\na\nb\r\nc\n\n";
    ExpandLineFeeds(text);
    EXPECT_EQ(text, L"\r\na\r\nb\r\r\nc\r\n\r\n");
}
