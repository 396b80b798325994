// Reading the What's New cache file and preparing it for the edit box.
#include "WhatsNew.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
// A file of the given bytes under the temporary folder, removed afterwards.
class TempFile
{
public:
    explicit TempFile(const std::string& bytes)
    {
        wchar_t szDir[MAX_PATH];
        ::GetTempPathW(MAX_PATH, szDir);
        wchar_t szFile[MAX_PATH];
        ::GetTempFileNameW(szDir, L"qfn", 0, szFile);
        m_path = szFile;
        HANDLE h = ::CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        ::CloseHandle(h);
    }
    ~TempFile() { ::DeleteFileW(m_path.c_str()); }
    const wchar_t* path() const { return m_path.c_str(); }

private:
    std::wstring m_path;
};

std::wstring Read(const std::string& bytes)
{
    TempFile file(bytes);
    std::wstring text;
    EXPECT_TRUE(ReadTextFile(file.path(), text));
    return text;
}
} // namespace

TEST(ReadTextFile, ReadsTheBytesUpToTheFirstZeroInTheAnsiCodePage)
{
    EXPECT_EQ(Read("plain text\nline two"), L"plain text\nline two");
    EXPECT_EQ(Read(std::string("before\0after", 12)), L"before");
    EXPECT_EQ(Read(""), L"");
    // No byte-order mark is looked for: it is three characters of code page 1252.
    EXPECT_EQ(Read("\xEF\xBB\xBFhi"), L"\u00EF\u00BB\u00BFhi");
}

TEST(ReadTextFile, TheThreadsCodePageNotTheSystemsIsTheOneUsed)
{
    // A Japanese thread in a process whose system code page is 1252.
    ASSERT_EQ(::GetACP(), 1252u);
    const LCID lcidBefore = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT)));
    const std::wstring text = Read("\x93\xFA\x96\x7B");
    ::SetThreadLocale(lcidBefore);
    EXPECT_EQ(text, L"\u65E5\u672C");
}

TEST(ReadTextFile, AFileThatCannotBeOpenedLeavesTheTextAlone)
{
    std::wstring text = L"kept";
    EXPECT_FALSE(ReadTextFile(L"C:\\no\\such\\folder\\whatsnew.txt", text));
    EXPECT_EQ(text, L"kept");
}

TEST(ReadTextFile, ASizeThatWouldOverflowTheBufferReadsAsEmpty)
{
    // GetFileSize's INVALID_FILE_SIZE: a failed query, or a file of 4 GiB - 1.
    // size + 1 would wrap to zero and the terminator would go past the buffer.
    TempFile file("some text");
    HANDLE h = ::CreateFileW(file.path(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::wstring text;
    ReadTextFromFile(h, INVALID_FILE_SIZE, text);
    EXPECT_EQ(text, L"");

    // A file that grew after its size was taken is read only as far as that
    // size: the byte after it belongs to the terminator.
    ::SetFilePointer(h, 0, nullptr, FILE_BEGIN);
    ReadTextFromFile(h, 3, text);
    EXPECT_EQ(text, L"som");
    ::CloseHandle(h);
}

TEST(ReadTextFile, OldSystemsTakeTheLocalesDefaultAnsiCodePage)
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
