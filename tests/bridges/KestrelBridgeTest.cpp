// Kestrel hands an item to w.bloggar, as the feed reader's user meets it: the
// plugin host blogs the item, the quotation file is left in the host's
// temporary folder, and the w.bloggar stand-in, installed where the current
// user's registry says, records how it was started and what the file held.
#include "BridgeSession.h"

#include "Kestrel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using namespace qftest;
using namespace qfplugin::kestrel;

namespace
{
std::wstring ExpectedCommandLine(const std::wstring& folder, const std::wstring& file)
{
    return L"\"" + folder + L"\\" + kEditorProgram + L"\" \"" + file + L"\"";
}

// Blogs one item with the editor installed where the registry says and
// returns what the editor received; the call must show no box.
BridgeSession::EditorRecord BlogThroughEditor(BridgeSession& session, const std::string& item,
                                              std::vector<std::wstring> environment = {})
{
    Process& host = session.Start(KestrelPath(), item, std::move(environment));
    EXPECT_EQ(host.Wait(), 0u) << "BlogThis did not return without a box";
    EXPECT_TRUE(WaitUntil([&] { return session.EditorRecords().size() == 1; })) << "the editor did not start";
    const auto records = session.EditorRecords();
    return records.empty() ? BridgeSession::EditorRecord{} : records.front();
}

// The one quotation file of the session's call, by its full path.
std::wstring QuotationFile(const BridgeSession& session)
{
    const auto files = session.TemporaryFiles();
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? std::wstring() : session.tempDir() + L"\\" + files.front();
}

// Blogs the item in a session of its own: the editor gets the command line
// and the file, which holds exactly the quotation and is left unchanged.
BridgeSession::EditorRecord ExpectQuotation(const std::wstring& folder, const std::string& item,
                                            const std::string& expected)
{
    BridgeSession session;
    const auto record = BlogThroughEditor(session, item);
    const std::wstring file = QuotationFile(session);
    EXPECT_EQ(record.commandLine, ExpectedCommandLine(folder, file));
    EXPECT_EQ(record.file, file);
    EXPECT_TRUE(record.filePresent);
    EXPECT_EQ(record.bytes, expected);
    // Left for the editor, unchanged.
    EXPECT_EQ(ReadFileBytes(file), expected);
    return record;
}

// Blogs an item in the session, with the host in folder: the editor is not
// found, and nothing is made or started.
void ExpectEditorNotFound(BridgeSession& session, const std::wstring& folder)
{
    Process& host = session.Start(KestrelPath(), RssItem(L"t", L"d", L"x"), {}, L"", folder);
    // A host that ends without the box has started the editor instead.
    MessageBoxInfo box;
    ASSERT_TRUE(WaitUntil([&] {
        box = WaitForMessageBox(host.id(), std::chrono::milliseconds(0));
        return box.hWnd != nullptr || !host.running();
    }));
    ASSERT_NE(box.hWnd, nullptr) << "no box";
    EXPECT_EQ(box.caption, kCaption);
    EXPECT_EQ(box.text, kCannotFind);
    EXPECT_TRUE(box.icon);
    EXPECT_TRUE(box.OkOnly());
    AnswerMessageBox(box);
    EXPECT_EQ(host.Wait(), 0u);
    EXPECT_TRUE(session.TemporaryFiles().empty()) << "a quotation file was made";
    EXPECT_TRUE(session.EditorRecords().empty()) << "an editor was started";
}

class KestrelBridge : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_folder = session.dir().file(L"Apps\\wbloggar");
        InstallEditor(m_folder);
        settings.SetInstallPath(m_folder);
    }

    BloggarSettings settings;
    BridgeSession session;
    std::wstring m_folder;
};
} // namespace

TEST_F(KestrelBridge, EachItemReachesTheEditorAsExactlyItsQuotation)
{
    // The item (title, description, link) and the bytes of its file.
    const std::pair<std::string, std::string> cases[] = {
        // Markup in the texts is not escaped.
        {RssItem(L"A <b>bold</b> move", L"d", L"x"),
         "<blockquote><a href='x'>A <b>bold</b> move</a><br>d</blockquote>"},
        {RssItem(L"t", L"", L"http://e.org/"), "<blockquote><a href='http://e.org/'>t</a><br></blockquote>"},
        // A single quote in the link stays inside the attribute.
        {RssItem(L"It's", L"<p>it's</p>", L"http://e.org/x' onclick='steal()"),
         "<blockquote><a href='http://e.org/x&#39; onclick=&#39;steal()'>It's</a><br><p>it's</p></blockquote>"},
        // Code page 1252: best fit for A with macron, the default character
        // for a CJK character; the e acute is in the code page.
        {RssItem(L"\u0100 caf\u00e9 \u65e5", L"d", L"x"),
         "<blockquote><a href='x'>A caf\xe9 ?</a><br>d</blockquote>"},
    };
    for (const auto& [item, bytes] : cases)
    {
        SCOPED_TRACE(bytes);
        ExpectQuotation(m_folder, item, bytes);
    }
}

TEST_F(KestrelBridge, DoubleByteCodePageWritesTheWholeText)
{
    // A Japanese locale gives code page 932: two bytes for each of the three
    // characters, so the file is longer in bytes than in characters. Wine
    // takes the locale from the Unix environment the test was started with
    // (CTest sets LC_ALL=ja_JP.UTF-8 for this test), and the host inherits it.
    ASSERT_EQ(::GetACP(), 932u) << "run this test with LC_ALL=ja_JP.UTF-8";
    const std::wstring title = L"\u65e5\u672c\u8a9e";
    const auto record = ExpectQuotation(m_folder, RssItem(title, L"d", L"x"),
                                        "<blockquote><a href='x'>\x93\xfa\x96\x7b\x8c\xea</a><br>d</blockquote>");
    const std::wstring quotation = L"<blockquote><a href='x'>" + title + L"</a><br>d</blockquote>";
    EXPECT_GT(record.bytes.size(), quotation.size());
}

TEST_F(KestrelBridge, ReadOnlySettingsKeyStillFindsTheEditor)
{
    // A user who may read the settings but not change them.
    settings.DenyWriting();
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ | KEY_WRITE, &key), ERROR_ACCESS_DENIED);
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    ::RegCloseKey(key);

    Process& host = session.Start(KestrelPath(), RssItem(L"t", L"d", L"x"));
    MessageBoxInfo box;
    ASSERT_TRUE(WaitUntil([&] {
        box = WaitForMessageBox(host.id(), std::chrono::milliseconds(0));
        return box.hWnd != nullptr || !host.running();
    }));
    if (box.hWnd)
    {
        AnswerMessageBox(box);
        FAIL() << "a box appeared: " << Utf8(box.text);
    }
    EXPECT_EQ(host.Wait(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return session.EditorRecords().size() == 1; })) << "the editor did not start";
    EXPECT_EQ(session.EditorRecords().front().commandLine, ExpectedCommandLine(m_folder, QuotationFile(session)));
}

TEST_F(KestrelBridge, TrailingBackslashIsDoubledNotNormalised)
{
    settings.SetInstallPath(m_folder + L"\\");
    const auto record = BlogThroughEditor(session, RssItem(L"t", L"d", L"x"));
    EXPECT_EQ(record.commandLine, ExpectedCommandLine(m_folder + L"\\", QuotationFile(session)));
}

// The editor is started only from the folder the registry names. A program
// of the editor's name waits in the root of the current drive, and the
// relative folders below lead, from the host's current folder, to the
// installed editor: neither is ever started.
class KestrelWithoutFolder : public KestrelBridge
{
protected:
    void SetUp() override
    {
        KestrelBridge::SetUp();
        // The host runs in the scratch folder, so its drive is the scratch folder's.
        m_rootProgram = session.dir().path().substr(0, 2) + L"\\" + kEditorProgram;
        // The test prefix's own drive: a copy that an interrupted run left is
        // replaced. The stand-in started by the test before may still be on
        // its way out and hold its file for a moment.
        ASSERT_TRUE(WaitUntil(
            [&] { return ::CopyFileW(WbloggarStandInPath().c_str(), m_rootProgram.c_str(), FALSE) != FALSE; }));
    }
    void TearDown() override
    {
        if (!m_rootProgram.empty())
            WaitUntil([&] { return ::DeleteFileW(m_rootProgram.c_str()) || !FileExists(m_rootProgram); });
    }

    std::wstring m_rootProgram;
};

TEST_F(KestrelWithoutFolder, MissingRelativeOrUnusableFolderMeansEditorNotFound)
{
    // Each call in a session of its own, with the host in the folder that
    // holds Apps\wbloggar.
    const std::wstring here = session.dir().path();
    const auto expectNotFound = [&](const std::string& what) {
        SCOPED_TRACE(what);
        BridgeSession caseSession;
        ExpectEditorNotFound(caseSession, here);
    };
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    expectNotFound("no settings key");

    settings.CreateKey();
    expectNotFound("no InstallPath value");

    const std::wstring folder = m_folder + L'\0';
    settings.SetRawInstallPath(REG_BINARY, folder.data(), static_cast<DWORD>(folder.size() * sizeof(wchar_t)));
    expectNotFound("a value of another type");

    settings.SetRawInstallPath(REG_SZ, m_folder.data(), static_cast<DWORD>(m_folder.size() * sizeof(wchar_t)));
    expectNotFound("a value without its terminator");

    // 260 characters and the terminator do not fit the 260-character buffer.
    const std::wstring longValue = m_folder + L"\\" + std::wstring(MAX_PATH, L'x');
    settings.SetInstallPath(longValue.substr(0, MAX_PATH));
    expectNotFound("a value of 260 characters");

    // Empty; relative to the current folder, to the current drive's root and
    // to the drive's current folder; a folder without the editor; a folder
    // whose editor is a folder.
    ASSERT_TRUE(::CreateDirectoryW((here + L"\\Folder").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((here + L"\\Folder\\" + kEditorProgram).c_str(), nullptr));
    for (const std::wstring& value : {std::wstring(), std::wstring(L"Apps\\wbloggar"), m_folder.substr(2),
                                      here.substr(0, 2) + L"Apps\\wbloggar", here, here + L"\\Folder"})
    {
        settings.SetInstallPath(value);
        expectNotFound("InstallPath " + Utf8(value));
    }
}

TEST_F(KestrelBridge, LongFolderAndTemporaryPathMakeALongCommandLine)
{
    // Together well past 260 characters, each under MAX_PATH.
    std::wstring folder = session.dir().path();
    while (folder.size() < 200)
        folder += L"\\folder-with-a-long-name";
    InstallEditor(folder);
    settings.SetInstallPath(folder);

    const std::wstring temp = session.tempDir() + L"\\a-temporary-folder-of-some-length";
    ::CreateDirectoryW(temp.c_str(), nullptr);
    const auto record = BlogThroughEditor(session, RssItem(L"t", L"d", L"x"), {L"TMP=" + temp, L"TEMP=" + temp});
    ASSERT_GT(record.commandLine.size(), 260u);
    EXPECT_EQ(record.commandLine.substr(0, folder.size() + 16), L"\"" + folder + L"\\wbloggar.exe\" ");
    EXPECT_EQ(record.commandLine.substr(folder.size() + 16, temp.size() + 3), L"\"" + temp + L"\\w");
    EXPECT_EQ(record.commandLine, L"\"" + folder + L"\\wbloggar.exe\" \"" + record.file + L"\"");
    EXPECT_EQ(record.bytes, "<blockquote><a href='x'>t</a><br>d</blockquote>");
}

TEST_F(KestrelBridge, ItemWithoutLinkMakesNoFileAndStartsNothing)
{
    Process& host = session.Start(KestrelPath(), RssItem(L"t", L"d", std::nullopt));
    const MessageBoxInfo box = WaitForMessageBox(host.id());
    ASSERT_NE(box.hWnd, nullptr);
    EXPECT_EQ(box.caption, kCaption);
    EXPECT_EQ(box.text, kSomethingFailed);
    AnswerMessageBox(box);
    EXPECT_EQ(host.Wait(), 0u);
    EXPECT_TRUE(session.TemporaryFiles().empty());
    EXPECT_TRUE(session.EditorRecords().empty());
}

TEST_F(KestrelBridge, TwoCallsMakeTwoFilesAndTwoEditors)
{
    Process& first = session.Start(KestrelPath(), RssItem(L"one", L"d", L"x"));
    EXPECT_EQ(first.Wait(), 0u);
    Process& second = session.Start(KestrelPath(), RssItem(L"two", L"d", L"x"));
    EXPECT_EQ(second.Wait(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return session.EditorRecords().size() == 2; }));

    const auto files = session.TemporaryFiles();
    ASSERT_EQ(files.size(), 2u);
    std::vector<std::string> received;
    for (const auto& record : session.EditorRecords())
    {
        EXPECT_EQ(ReadFileBytes(record.file), record.bytes) << "the file was not left as the editor read it";
        received.push_back(record.bytes);
    }
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, (std::vector<std::string>{"<blockquote><a href='x'>one</a><br>d</blockquote>",
                                                  "<blockquote><a href='x'>two</a><br>d</blockquote>"}));
}

TEST_F(KestrelBridge, TemporaryFolderWithoutRoomForANameStillStartsTheEditor)
{
    // The folder as GetTempPathW gives it, its backslash included. A file
    // name needs 14 of the path buffer's 260 characters after it, so 246 is
    // the longest folder that gets a file; past that (not every
    // GetTempFileNameW refuses such a folder) no file is made, and the editor
    // is started all the same, with an empty path. 259 characters fill
    // GetTempPathW's buffer exactly and 260 are one past it (Wine then
    // answers 0, Windows the length it needs): the room bound refuses both.
    const struct
    {
        size_t length;
        bool fileMade;
    } cases[] = {{246, true}, {247, false}, {249, false}, {259, false}, {260, false}};
    for (const auto& c : cases)
    {
        BridgeSession caseSession;
        // TMP without the backslash that GetTempPathW adds.
        std::wstring temp = caseSession.tempDir();
        while (temp.size() < c.length - 1)
            temp += L"\\long-temporary-folder";
        temp.resize(c.length - 1);
        if (temp.back() == L'\\')
            temp.back() = L'x';
        for (size_t pos = caseSession.tempDir().size(); pos != std::wstring::npos; pos = temp.find(L'\\', pos + 1))
            ::CreateDirectoryW(temp.substr(0, pos).c_str(), nullptr);
        ASSERT_TRUE(::CreateDirectoryW(temp.c_str(), nullptr)) << ::GetLastError();

        const auto record = BlogThroughEditor(caseSession, RssItem(L"t", L"d", L"x"),
                                              {L"TMP=" + temp, L"TEMP=" + temp});
        if (c.fileMade)
        {
            EXPECT_EQ(record.file.substr(0, temp.size() + 2), temp + L"\\w") << c.length;
            EXPECT_EQ(record.commandLine, ExpectedCommandLine(m_folder, record.file)) << c.length;
            EXPECT_EQ(record.bytes, "<blockquote><a href='x'>t</a><br>d</blockquote>") << c.length;
        }
        else
        {
            EXPECT_EQ(record.commandLine, ExpectedCommandLine(m_folder, L"")) << c.length;
            EXPECT_FALSE(record.filePresent) << c.length;
        }
    }
}

TEST_F(KestrelBridge, RepeatedCallsOfEitherPluginKeepNoHandles)
{
    // Twenty calls in one process, as a reader blogs item after item: the
    // handles the plugin takes (process and thread of the editor, the file,
    // the key, MSXML's) go back every time.
    for (const std::wstring& plugin : {LanternPath(), KestrelPath()})
    {
        Process& host = session.Start(plugin, RssItem(L"t", L"d", L"x"), {}, L"--repeat 20");
        ASSERT_EQ(host.Wait(), 0u) << "a call showed a box or failed";
        const std::string output = session.HostOutput();
        unsigned long nAfterFirst = 0, nAfterLast = 0;
        const size_t at = output.find("Handles after the first call: ");
        ASSERT_NE(at, std::string::npos) << output;
        ASSERT_EQ(std::sscanf(output.c_str() + at, "Handles after the first call: %lu; after call 20: %lu",
                              &nAfterFirst, &nAfterLast),
                  2)
            << output;
        EXPECT_GT(nAfterFirst, 0u) << "the handle count could not be read";
        // A little slack for what the system caches on the way; a leak of
        // one handle a call is nineteen.
        EXPECT_LE(nAfterLast, nAfterFirst + 5) << std::string(plugin.begin(), plugin.end());
    }
    EXPECT_TRUE(WaitUntil([&] { return session.EditorRecords().size() == 20; }))
        << "not every call reached w.bloggar";
}
