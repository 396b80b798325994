// The texts Kestrel gives w.bloggar, checked without starting anything.
#include "BloggarText.h"

#include "Files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qfplugin;

namespace
{
FeedItem Item(const wchar_t* title, const wchar_t* description, const wchar_t* link)
{
    return FeedItem{shared_bstr(title), shared_bstr(description), shared_bstr(link)};
}

std::wstring FolderFrom(DWORD type, const std::wstring& bytesAsText, DWORD size)
{
    return InstallFolderFromValue(ERROR_SUCCESS, type, reinterpret_cast<const BYTE*>(bytesAsText.data()), size);
}

DWORD BytesOf(const std::wstring& text)
{
    return static_cast<DWORD>(text.size() * sizeof(wchar_t));
}
} // namespace

TEST(Quotation, KeepsMarkupOfTitleAndDescription)
{
    EXPECT_EQ(FormatQuotation(Item(L"A <b>bold</b> move", L"d", L"x"), 1252),
              L"<blockquote><a href='x'>A <b>bold</b> move</a><br>d</blockquote>");
    EXPECT_EQ(FormatQuotation(Item(L"", L"", L""), 1252), L"<blockquote><a href=''></a><br></blockquote>");
    // Nothing in the texts is read as a format.
    EXPECT_EQ(FormatQuotation(Item(L"100%", L"%d", L"%s%n"), 1252),
              L"<blockquote><a href='%s%n'>100%</a><br>%d</blockquote>");
}

TEST(Quotation, NothingInTheLinkCanEndTheAttributeInAnyCodePage)
{
    const wchar_t* const kLinks[] = {
        L"http://e.org/a' onmouseover='alert(1)",
        L"http://e.org/x\xFF07 onmouseover=\xFF07"
        L"alert(1)",                                         // full-width apostrophe: "'" by best fit in 1252
        L"http://e.org/x\x02BC\x2032\x2019\x00B4\x2018",     // modifier letter, prime, curly quotes, acute
        L"http://e.org/\xD83D\xDE00\x65E5\x00E9",            // a pair, a CJK character, an accented letter
        L"http://e.org/\xD83D' onmouseover='alert(1)\xD83D", // lone high surrogates before a quote and at the end
    };
    for (const UINT codePage : {1252u, 932u, static_cast<UINT>(CP_UTF8)})
    {
        for (const wchar_t* link : kLinks)
        {
            const std::string bytes = ToNarrow(FormatQuotation(Item(L"t'", L"it's", link), codePage), codePage);
            const std::string open = "<blockquote><a href='";
            ASSERT_EQ(bytes.compare(0, open.size(), open), 0) << codePage;
            const size_t close = bytes.find("'>", open.size());
            ASSERT_NE(close, std::string::npos) << codePage;
            // The attribute ends where the quotation ends it: the title and
            // description follow, markup and quotes kept.
            EXPECT_EQ(bytes.substr(close), "'>t'</a><br>it's</blockquote>") << codePage;
            EXPECT_EQ(bytes.find('\'', open.size()), close) << "code page " << codePage;
        }
    }
    // Escaped as numeric references; characters with exact bytes stay as they are.
    EXPECT_EQ(FormatQuotation(Item(L"t", L"d", L"http://e.org/x\xFF07 y='\x00E9\xD83D\xDE00"), 1252),
              L"<blockquote><a href='http://e.org/x&#65287; y=&#39;\x00E9&#128512;'>t</a><br>d</blockquote>");
    EXPECT_EQ(FormatQuotation(Item(L"t", L"d", L"http://e.org/\xFF07\x65E5"), 932),
              L"<blockquote><a href='http://e.org/\xFF07\x65E5'>t</a><br>d</blockquote>");
    EXPECT_EQ(FormatQuotation(Item(L"t", L"d", L"http://e.org/\xFF07\xD83D\xDE00"), CP_UTF8),
              L"<blockquote><a href='http://e.org/\xFF07\xD83D\xDE00'>t</a><br>d</blockquote>");
    EXPECT_EQ(FormatQuotation(Item(L"t", L"d", L"a&b\"c"), 1252),
              L"<blockquote><a href='a&b\"c'>t</a><br>d</blockquote>");
    // A pair is one character, one reference; a lone surrogate is a reference
    // of its own and takes nothing after it along.
    EXPECT_EQ(FormatQuotation(Item(L"t", L"d", L"\xD83D'\xDE00\xD83D\xDE00x\xD83D"), 932),
              L"<blockquote><a href='&#55357;&#39;&#56832;&#128512;x&#55357;'>t</a><br>d</blockquote>");
}

TEST(QuotationCodePage, NewerSystemsUseTheThreadCodePageOlderOnesTheLocaleDefault)
{
    EXPECT_EQ(CodePageRuleFor(VER_PLATFORM_WIN32_NT, 5), CodePageRule::ThreadAnsi);
    EXPECT_EQ(CodePageRuleFor(VER_PLATFORM_WIN32_NT, 10), CodePageRule::ThreadAnsi);
    EXPECT_EQ(CodePageRuleFor(VER_PLATFORM_WIN32_NT, 4), CodePageRule::LocaleDefault);
    EXPECT_EQ(CodePageRuleFor(VER_PLATFORM_WIN32_WINDOWS, 4), CodePageRule::LocaleDefault);
    EXPECT_EQ(CodePageRuleFor(VER_PLATFORM_WIN32s, 5), CodePageRule::LocaleDefault);

    EXPECT_EQ(ParseAnsiCodePage(L"932", 1252), 932u);
    EXPECT_EQ(ParseAnsiCodePage(L"0", 1252), 1252u);
    EXPECT_EQ(ParseAnsiCodePage(L"", 1252), 1252u);
    EXPECT_EQ(ParseAnsiCodePage(L"12x", 1252), 1252u);
    EXPECT_EQ(ParseAnsiCodePage(L"99999999999999", 1252), 1252u);
    EXPECT_EQ(ParseAnsiCodePage(nullptr, 1250), 1250u);
}

TEST(QuotationCodePage, ThisSystemUsesTheThreadCodePage)
{
    // Wine reports an NT system of version 5 or later.
    EXPECT_EQ(ProcessCodePageRule(), CodePageRule::ThreadAnsi);
    EXPECT_EQ(QuotationCodePage(), static_cast<UINT>(CP_THREAD_ACP));

    // A Japanese thread in a process whose system code page is 1252 writes
    // Shift-JIS.
    ASSERT_EQ(::GetACP(), 1252u);
    const LCID lcidBefore = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
    const std::string bytes = ToNarrow(L"\u65E5\u672C", QuotationCodePage());
    ::SetThreadLocale(lcidBefore);
    EXPECT_EQ(bytes, "\x93\xFA\x96\x7B");
}

TEST(QuotationCodePage, ConversionKeepsEveryByteWithoutTerminator)
{
    EXPECT_EQ(ToNarrow(L"<b>caf\u00e9</b>", 1252), "<b>caf\xe9</b>");
    // Best fit where the code page has one, else its default character.
    EXPECT_EQ(ToNarrow(L"\u0100\u4e00", 1252), "A?");
    // Double-byte: more bytes than characters.
    EXPECT_EQ(ToNarrow(L"\u65e5\u672c", 932), "\x93\xfa\x96\x7b");
    // Three bytes a character: nothing is cut off when UTF-8 is the code page.
    const std::wstring cjk(300, L'\u65e5');
    EXPECT_EQ(ToNarrow(cjk, CP_UTF8).size(), 900u);
    // A pair at the end converts whole; a lone high surrogate becomes the
    // replacement character and leaves the unit after it alone.
    EXPECT_EQ(ToNarrow(L"a\xD83D\xDE00", CP_UTF8), "a\xF0\x9F\x98\x80");
    EXPECT_EQ(ToNarrow(L"\xD83D"
                       L"a",
                       CP_UTF8),
              "\xEF\xBF\xBD"
              "a");
    EXPECT_EQ(ToNarrow(L"", 1252), "");
}

TEST(QuotationFile, IsMadeNewUnderAFreeNameAndSharedWithReadersOnly)
{
    const qfsupport::ScratchDir scratch;
    const std::wstring folder = scratch.path() + L"\\";
    const auto name = [&](UINT number) {
        wchar_t path[MAX_PATH]{};
        ::GetTempFileNameW(folder.c_str(), L"w", number, path);
        return std::wstring(path);
    };
    // Names that something has are passed over, whatever has them; the
    // numbers go on past 0xFFFF to 1, never 0.
    qfsupport::WriteFileBytes(name(0xFFFE), "theirs");
    ASSERT_TRUE(::CreateDirectoryW(name(0xFFFF).c_str(), nullptr));
    wchar_t path[MAX_PATH]{};
    {
        const unique_hfile file = CreateQuotationFile(folder.c_str(), 0xFFFD + 2 * 0xFFFF, path);
        ASSERT_TRUE(file);
        EXPECT_EQ(std::wstring(path), name(1));
        // Others may read it meanwhile, never write it.
        EXPECT_FALSE(unique_hfile(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr)));
        EXPECT_TRUE(unique_hfile(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr)));
    }
    EXPECT_EQ(qfsupport::ReadFileBytes(name(0xFFFE)), "theirs");

    // A folder that refuses the file: none, and an empty path.
    path[0] = L'x';
    EXPECT_FALSE(CreateQuotationFile((folder + L"missing\\").c_str(), 7, path));
    EXPECT_EQ(path[0], L'\0');
}

TEST(InstallPath, StringValuesAreUsedAsStored)
{
    const std::wstring value(L"D:\\Apps\\wbloggar\0", 17);
    EXPECT_EQ(FolderFrom(REG_SZ, value, BytesOf(value)), L"D:\\Apps\\wbloggar");
    const std::wstring expand(L"%ProgramFiles%\\w\0", 17);
    EXPECT_EQ(FolderFrom(REG_EXPAND_SZ, expand, BytesOf(expand)), L"%ProgramFiles%\\w");
    const std::wstring inner(L"C:\\a\0junk\0", 10);
    EXPECT_EQ(FolderFrom(REG_SZ, inner, BytesOf(inner)), L"C:\\a");
    const std::wstring longest = std::wstring(MAX_PATH - 1, L'a') + L'\0';
    EXPECT_EQ(FolderFrom(REG_SZ, longest, BytesOf(longest)), std::wstring(MAX_PATH - 1, L'a'));
}

TEST(InstallPath, UnusableValuesCountAsMissing)
{
    const std::wstring good(L"C:\\w\0", 5);
    EXPECT_EQ(InstallFolderFromValue(ERROR_FILE_NOT_FOUND, REG_SZ, nullptr, 0), L"");
    EXPECT_EQ(InstallFolderFromValue(ERROR_MORE_DATA, REG_SZ, reinterpret_cast<const BYTE*>(good.data()), 10), L"");
    EXPECT_EQ(FolderFrom(REG_BINARY, good, BytesOf(good)), L"");
    EXPECT_EQ(FolderFrom(REG_MULTI_SZ, good, BytesOf(good)), L"");
    EXPECT_EQ(FolderFrom(REG_DWORD, good, 4), L"");
    // No terminating zero: the data is never read past its end.
    const std::wstring unterminated = L"C:\\w";
    EXPECT_EQ(FolderFrom(REG_SZ, unterminated, BytesOf(unterminated)), L"");
    EXPECT_EQ(FolderFrom(REG_SZ, good, BytesOf(good) - 1), L"");
    EXPECT_EQ(FolderFrom(REG_SZ, good, 0), L"");
    // 260 characters without a terminator fill the buffer exactly.
    const std::wstring full(MAX_PATH, L'a');
    EXPECT_EQ(FolderFrom(REG_SZ, full, BytesOf(full)), L"");
}

TEST(CommandLine, QuotesTheProgramInAnAbsoluteFolderAndTheFile)
{
    std::vector<wchar_t> line(kCommandLineChars);
    ASSERT_TRUE(FormatCommandLine(EditorProgramPath(L"D:\\Apps\\wbloggar").c_str(), L"C:\\T\\w1A.tmp", line.data(),
                                  line.size()));
    EXPECT_STREQ(line.data(), L"\"D:\\Apps\\wbloggar\\wbloggar.exe\" \"C:\\T\\w1A.tmp\"");

    // Used as stored (a trailing backslash is doubled), up to the longest
    // folder whose program path fits MAX_PATH with its terminator.
    const std::wstring longest = L"D:\\" + std::wstring(MAX_PATH - 17, L'f');
    using Folders = std::initializer_list<std::wstring>;
    for (const std::wstring& folder :
         Folders{L"D:\\Apps\\", L"a:/w", L"z:\\w", L"A:\\w", L"Z:\\", L"\\\\s", L"//s/share", longest})
        EXPECT_EQ(EditorProgramPath(folder), folder + L"\\wbloggar.exe") << folder;
    // Never the root of the current drive, nor a folder relative to the
    // current one; no quote, which would end the program's name early.
    for (const std::wstring& folder : Folders{L"", L"wbloggar", L"\\Apps", L"D:Apps", L"D:", L"\\\\", L"@:\\w",
                                              L"[:\\w", L"`:\\w", L"{:\\w", L"1:\\w", L"C:\\a\" \"b", longest + L'f'})
        EXPECT_EQ(EditorProgramPath(folder), L"") << folder;
}

TEST(CommandLine, LongestProgramAndFileFitWithoutOverrun)
{
    const std::wstring program(MAX_PATH - 1, L'p');
    const std::wstring file(MAX_PATH - 1, L't');
    std::vector<wchar_t> buffer(kCommandLineChars + 8, L'#');
    ASSERT_TRUE(FormatCommandLine(program.c_str(), file.c_str(), buffer.data(), kCommandLineChars));
    const std::wstring line = buffer.data();
    EXPECT_EQ(line, L"\"" + program + L"\" \"" + file + L"\"");
    EXPECT_EQ(line.size() + 1, kCommandLineChars);
    EXPECT_EQ(buffer[kCommandLineChars], L'#');

    // One character short: nothing is written at all.
    std::vector<wchar_t> small(kCommandLineChars - 1, L'#');
    EXPECT_FALSE(FormatCommandLine(program.c_str(), file.c_str(), small.data(), small.size()));
    EXPECT_EQ(small.front(), L'#');
}
