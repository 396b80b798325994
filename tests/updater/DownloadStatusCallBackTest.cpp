// The download job's own logic, driven directly: the percentage, the progress
// texts, the bound on queued progress commands, what an answer says and does
// to the package, the URL and temporary-folder rules, the private folder and
// the package file, and a stop.
#include "Publisher.h" // winsock2.h before windows.h

#include "DownloadJob.h"
#include "DownloadStatusCallBack.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "resource.h"

using qftest::ScopedEnvironment;
using Outcome = CDownloadJob::Outcome;

namespace
{
// A message-only window that receives the job's commands on this thread.
class CommandSink
{
public:
    CommandSink()
        : m_hWnd(::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr))
    {
    }
    ~CommandSink() { ::DestroyWindow(m_hWnd); }
    CommandSink(const CommandSink&) = delete;
    CommandSink& operator=(const CommandSink&) = delete;

    HWND hwnd() const { return m_hWnd; }
    // The command ids waiting in the queue, taken out of it.
    std::vector<WORD> Take()
    {
        std::vector<WORD> ids;
        MSG msg;
        while (::PeekMessageW(&msg, m_hWnd, WM_COMMAND, WM_COMMAND, PM_REMOVE))
        {
            ids.push_back(LOWORD(msg.wParam));
            m_nCode = HIWORD(msg.wParam);
        }
        return ids;
    }
    // The notification code of the last command taken: its run's number.
    WORD Code() const { return m_nCode; }

private:
    HWND m_hWnd;
    WORD m_nCode = 0;
};

// Waits for the run's worker and takes its commands.
std::vector<WORD> Finish(CDownloadJob& job, CommandSink& sink)
{
    job.WaitForWorker(static_cast<DWORD>(qftest::kEventTimeout.count()));
    EXPECT_FALSE(job.IsRunning());
    return sink.Take();
}

// A run whose worker ends at once (its URL has no slash), so that the job's
// callbacks can be driven by hand as that run's.
void StartIdleRun(CDownloadJob& job, CommandSink& sink)
{
    ASSERT_TRUE(job.StartRun(L"no-slash", sink.hwnd()));
    ASSERT_EQ(Finish(job, sink), std::vector<WORD>{ID_DOWNLOAD_FAILED});
}

std::wstring ByteSize(ULONGLONG n)
{
    wchar_t sz[256];
    ::StrFormatByteSizeW(static_cast<LONGLONG>(n), sz, 256);
    return sz;
}

// The value one progress command shows.
DownloadProgress Shown(CProgressLine& line)
{
    DownloadProgress progress{};
    line.Take(progress);
    return progress;
}

// The private folders of runs in a temporary folder (a separator at its end).
std::vector<std::wstring> RunFolders(const std::wstring& temp)
{
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW found{};
    const unique_hfind search(::FindFirstFileW((temp + L"QuillfeedUpdate-*").c_str(), &found));
    if (search)
    {
        do
            folders.push_back(temp + found.cFileName);
        while (::FindNextFileW(search.get(), &found));
    }
    return folders;
}

} // namespace

TEST(DownloadPercent, DropsTheFractionKeepsValuesAboveOneHundredAndSurvivesLargeFiles)
{
    EXPECT_EQ(DownloadPercent(999, 1000), 99);
    EXPECT_EQ(DownloadPercent(1000, 1000), 100);
    EXPECT_EQ(DownloadPercent(1500, 1000), 150);
    EXPECT_EQ(DownloadPercent(12345, 0), 0);
    EXPECT_EQ(DownloadPercent(0, 1000), 0);
    // 100 MB of 200 MB: the product no longer fits 32 bits.
    EXPECT_EQ(DownloadPercent(100u * 1024 * 1024, 200u * 1024 * 1024), 50);
    EXPECT_EQ(DownloadPercent(0xFFFFFFFFu, 0xFFFFFFFFu), 100);
    // Past 4 GB, and a product that no longer fits 64 bits.
    EXPECT_EQ(DownloadPercent(5ull << 30, 10ull << 30), 50);
    EXPECT_EQ(DownloadPercent(999ull << 40, 1000ull << 40), 99);
}

TEST(DownloadResponse, WhatAnAnswerSaysOfThePackageItsLengthOnlyWhenStoredAsSent)
{
    struct Case
    {
        DWORD dwStatus;
        const wchar_t* headers;
        bool bKnown;
        ULONGLONG nLength;
        bool bRanges = false;
        const wchar_t* validator = L"";
        bool bRangeKnown = false;
        ULONGLONG nFirst = 0;
        ULONGLONG nTotal = 0;
    };
    const Case cases[] = {
        {200, L"HTTP/1.1 200 OK\r\nContent-Length: 1234\r\n\r\n", true, 1234},
        {200, L"HTTP/1.1 200 OK\r\ncontent-length:\t5000000000 \r\nContent-Type: x\r\n\r\n", true, 5000000000ull},
        {200, L"HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\nContent-Length: 7\r\n\r\n", true, 7},
        // Stored decoded, so its size says nothing about the length sent.
        {200, L"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 7\r\n\r\n", false, 0},
        {200, L"HTTP/1.1 200 OK\r\nContent-Length: 7\r\nCONTENT-ENCODING: deflate\r\n\r\n", false, 0},
        // The binding's cached copy: no body to measure.
        {304, L"HTTP/1.1 304 Not Modified\r\nContent-Length: 7\r\n\r\n", false, 0},
        {200, L"HTTP/1.1 200 OK\r\n\r\n", false, 0},
        {200, L"HTTP/1.1 200 OK\r\nContent-Length: 12x\r\n\r\n", false, 0},
        {200, L"HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n", false, 0},
        {200, L"HTTP/1.1 200 OK\r\nContent-Length: -7\r\n\r\n", false, 0},
        {200, L"HTTP/1.1 200 OK\r\nX-Content-Length: 7\r\n\r\n", false, 0},
        {200, nullptr, false, 0},
        // What a request for the rest needs: ranges, and the version named.
        {200, L"HTTP/1.1 200 OK\r\nAccept-Ranges: bytes\r\nETag: \"v1\"\r\nLast-Modified: Mon\r\n\r\n", false, 0,
         true, L"\"v1\""},
        {200, L"HTTP/1.1 200 OK\r\nAccept-Ranges: none\r\nETag: W/\"v1\"\r\nLast-Modified: Mon\r\n\r\n", false, 0,
         false, L"Mon"},
        {200, L"HTTP/1.1 200 OK\r\nETag: W/\"v1\"\r\n\r\n", false, 0},
        {206, L"HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-199/200\r\nContent-Length: 100\r\n\r\n", true, 100,
         false, L"", true, 100, 200},
        // A range that stops short of the end, or of an unknown whole.
        {206, L"HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-198/200\r\n\r\n", false, 0},
        {206, L"HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-199/*\r\n\r\n", false, 0},
        {206, L"HTTP/1.1 206 Partial\r\nContent-Range: bytes 200-199/200\r\n\r\n", false, 0},
        {416, L"HTTP/1.1 416 Range\r\nContent-Range: bytes */200\r\n\r\n", false, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.headers ? std::string(c.headers, c.headers + wcslen(c.headers)) : "no headers");
        const PackageAnswer answer = ReadPackageAnswer(c.dwStatus, c.headers);
        EXPECT_EQ(answer.bLengthKnown, c.bKnown);
        if (c.bKnown)
        {
            EXPECT_EQ(answer.nLength, c.nLength);
        }
        EXPECT_EQ(answer.bRanges, c.bRanges);
        EXPECT_EQ(answer.strValidator, c.validator);
        EXPECT_EQ(answer.bRangeKnown, c.bRangeKnown);
        if (c.bRangeKnown)
        {
            EXPECT_EQ(answer.nFirst, c.nFirst);
            EXPECT_EQ(answer.nTotal, c.nTotal);
        }
    }
}

TEST(DownloadResponse, TheRestIsAppendedOnlyWhenItIsTheRestOfTheVersionBegun)
{
    ServedPackage served;
    served.strValidator = L"\"v1\"";
    served.bRanges = true;
    served.bLengthKnown = true;
    served.nLength = 200;
    const auto rest = [](ULONGLONG nFirst, ULONGLONG nTotal, const wchar_t* validator) {
        PackageAnswer answer;
        answer.bRangeKnown = true;
        answer.nFirst = nFirst;
        answer.nTotal = nTotal;
        answer.strValidator = validator;
        return answer;
    };
    struct Case
    {
        const char* what;
        DWORD dwStatus;
        PackageAnswer answer;
        ULONGLONG nHave;
        AnswerUse use;
    };
    const Case cases[] = {
        {"a whole body asked for", 200, PackageAnswer(), 0, AnswerUse::Whole},
        {"a file, without HTTP", 0, PackageAnswer(), 0, AnswerUse::Whole},
        {"a part never asked for", 206, rest(0, 200, L"\"v1\""), 0, AnswerUse::Refuse},
        {"an error page", 404, PackageAnswer(), 0, AnswerUse::Refuse},
        {"the rest of the version begun", 206, rest(100, 200, L"\"v1\""), 100, AnswerUse::Append},
        {"the rest of another version", 206, rest(100, 200, L"\"v2\""), 100, AnswerUse::StartOver},
        {"the rest without a version", 206, rest(100, 200, L""), 100, AnswerUse::StartOver},
        {"a part from elsewhere", 206, rest(99, 200, L"\"v1\""), 100, AnswerUse::Refuse},
        {"a part of another length", 206, rest(100, 300, L"\"v1\""), 100, AnswerUse::Refuse},
        {"a part without its range", 206, PackageAnswer(), 100, AnswerUse::Refuse},
        {"the whole new version", 200, PackageAnswer(), 100, AnswerUse::Whole},
        {"nothing after the bytes there", 416, PackageAnswer(), 100, AnswerUse::StartOver},
        {"a server error", 500, PackageAnswer(), 100, AnswerUse::Refuse},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UseOfAnswer(c.dwStatus, c.answer, c.nHave, served), c.use) << c.what;
}

TEST(DownloadFailure, TextCarriesTheCodeAndTheSystemTextAsGivenOrSaysThereIsNone)
{
    // A code the system has no text for.
    EXPECT_EQ(DownloadFailureText(static_cast<HRESULT>(0xA0001234)),
              L"Download failed.  Error = 0xA0001234\n\nNo message available.");

    // A code with a system text: the text follows as the system gives it,
    // trailing line break included.
    const HRESULT hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    LPWSTR pszSystem = nullptr;
    ASSERT_NE(::FormatMessageW(0x1300, nullptr, static_cast<DWORD>(hr), 0x400, reinterpret_cast<LPWSTR>(&pszSystem),
                               0, nullptr),
              0u);
    const std::wstring strSystem = pszSystem;
    ::LocalFree(pszSystem);
    EXPECT_EQ(DownloadFailureText(hr), L"Download failed.  Error = 0x80070002\n\n" + strSystem);
}

TEST(DownloadProgress, WritesTheTwoTextsAndThePercentageAndSaysWhenItResumes)
{
    CommandSink sink;
    CCriticalSection cs;
    CProgressLine line(cs);
    line.Begin(sink.hwnd(), 7);

    line.Received(999, 1000);
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_PROGRESS});
    EXPECT_EQ(sink.Code(), 7);
    DownloadProgress shown = Shown(line);
    EXPECT_EQ(std::wstring(shown.szText), L"Downloaded " + ByteSize(999) + L" of " + ByteSize(1000));
    EXPECT_EQ(shown.nPercent, 99);

    line.Received(5 * 1024 * 1024, 0);
    shown = Shown(line);
    EXPECT_EQ(std::wstring(shown.szText), L"Downloaded " + ByteSize(5 * 1024 * 1024) + L" (total size unknown)");
    EXPECT_EQ(shown.nPercent, 0);

    // Lost halfway, it goes on from the bytes already there.
    line.Resuming(500, 1000);
    shown = Shown(line);
    EXPECT_EQ(std::wstring(shown.szText),
              L"Connection lost, resuming from " + ByteSize(500) + L" of " + ByteSize(1000));
    EXPECT_EQ(shown.nPercent, 50);
    line.Received(600, 1000);
    EXPECT_EQ(std::wstring(Shown(line).szText),
              L"Downloaded " + ByteSize(600) + L" of " + ByteSize(1000) + L" (resumed)");
    line.Begin(sink.hwnd(), 8);
    line.Received(1, 1000);
    EXPECT_EQ(std::wstring(Shown(line).szText), L"Downloaded " + ByteSize(1) + L" of " + ByteSize(1000));
}

TEST(DownloadProgress, AtMostOneProgressCommandWaitsInTheQueueAndEachRunPostsItsFirst)
{
    CommandSink sink;
    CCriticalSection cs;
    CProgressLine line(cs);
    line.Begin(sink.hwnd(), 1);

    // Far more reports than a thread's queue may hold.
    for (ULONG n = 1; n <= 20000; ++n)
        line.Received(n, 20000);
    EXPECT_EQ(sink.Take().size(), 1u);
    EXPECT_EQ(Shown(line).nPercent, 100); // the waiting command shows the latest values

    // Once the dialog has taken the command, the next report posts again.
    line.Received(1, 2);
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_PROGRESS});
    EXPECT_EQ(line.Posted(), 2);
    EXPECT_EQ(line.Taken(), 1);
    EXPECT_EQ(line.Reports(), 20001);

    // A command left waiting when the run ended belongs to that run: the next
    // run's first report still posts, with the next run's code.
    line.Begin(sink.hwnd(), 2);
    line.Received(3, 4);
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_PROGRESS});
    EXPECT_EQ(sink.Code(), 2);
    EXPECT_EQ(Shown(line).nPercent, 75);

    // The job takes only its current run's commands.
    CDownloadJob job;
    StartIdleRun(job, sink);
    const WORD nRun = sink.Code();
    StartIdleRun(job, sink);
    EXPECT_NE(sink.Code(), nRun);
    DownloadProgress progress{};
    EXPECT_FALSE(job.TakeProgress(nRun, progress));
    EXPECT_TRUE(job.TakeProgress(sink.Code(), progress));
}

TEST(DownloadOutcome, OnlyTheCurrentRunsConcludedOutcomeIsTakenAndOnlyOnce)
{
    CommandSink sink;
    CDownloadJob job;
    // Before any run there is nothing to take, under any code: an ordinary
    // button command has code 0.
    for (WORD nCode : {0, 1})
    {
        EXPECT_FALSE(job.TakeOutcome(nCode, Outcome::Ready)) << nCode;
        EXPECT_FALSE(job.TakeOutcome(nCode, Outcome::Failed)) << nCode;
        DownloadProgress progress{};
        EXPECT_FALSE(job.TakeProgress(nCode, progress)) << nCode;
    }
    StartIdleRun(job, sink);
    const WORD nRun = sink.Code();
    EXPECT_NE(nRun, 0);
    EXPECT_FALSE(job.TakeOutcome(0, Outcome::Failed));
    EXPECT_FALSE(job.TakeOutcome(nRun, Outcome::Ready)) << "a ready command of a run that failed";
    EXPECT_TRUE(job.TakeOutcome(nRun, Outcome::Failed));
    EXPECT_EQ(job.ErrorText(), L"Invalid url");
    EXPECT_FALSE(job.TakeOutcome(nRun, Outcome::Failed)) << "the same outcome twice";
}

TEST(DownloadUrl, FileNameIsEverythingAfterTheLastSlash)
{
    std::wstring name = L"unchanged";
    EXPECT_TRUE(FileNameOfUrl(L"http://127.0.0.1:18931/dist/QuillfeedSetup.exe", name));
    EXPECT_EQ(name, L"QuillfeedSetup.exe");
    EXPECT_TRUE(FileNameOfUrl(L"http://host/dist/Quillfeed%20beta.zip?x=1", name));
    EXPECT_EQ(name, L"Quillfeed%20beta.zip?x=1");
    EXPECT_TRUE(FileNameOfUrl(L"http://host/dist/", name));
    EXPECT_EQ(name, L"");
    EXPECT_FALSE(FileNameOfUrl(L"no-slash-at-all", name));
    EXPECT_FALSE(FileNameOfUrl(L"/only-the-first", name));
}

TEST(DownloadUrl, InvalidUrlEndsTheRunWithOneFailureAndNoTransfer)
{
    for (const wchar_t* url : {L"no-slash-at-all", L"/only-the-first", L""})
    {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(wcslen(url)));
        CommandSink sink;
        CDownloadJob job;
        ASSERT_TRUE(job.StartRun(url, sink.hwnd()));
        EXPECT_EQ(Finish(job, sink), std::vector<WORD>{ID_DOWNLOAD_FAILED});
        EXPECT_TRUE(job.TakeOutcome(sink.Code(), Outcome::Failed));
        EXPECT_EQ(job.ErrorText(), L"Invalid url");
    }
}

TEST(DownloadTempDirectory, SeparatorAppendedOnlyWhenMissingAndWhereItFits)
{
    const wchar_t kBackslash[] = L"C:\\users\\me\\Temp\\";
    const wchar_t kSlash[] = L"C:\\users\\me\\Temp/";
    const wchar_t kBare[] = L"C:\\users\\me\\Temp";
    EXPECT_EQ(TempDirectoryFrom(kBackslash, ARRAYSIZE(kBackslash) - 1), kBackslash);
    EXPECT_EQ(TempDirectoryFrom(kSlash, ARRAYSIZE(kSlash) - 1), kSlash);
    EXPECT_EQ(TempDirectoryFrom(kBare, ARRAYSIZE(kBare) - 1), std::wstring(kBare) + L"\\");

    const std::wstring full = L"C:\\" + std::wstring(236, L'x'); // 239 characters
    EXPECT_EQ(TempDirectoryFrom(full.c_str(), 239), full);
    const std::wstring room = L"C:\\" + std::wstring(235, L'x'); // 238: one more fits
    EXPECT_EQ(TempDirectoryFrom(room.c_str(), 238), room + L"\\");

    for (DWORD nResult : {0u, 241u, 32767u})
    {
        try
        {
            TempDirectoryFrom(L"", nResult);
            ADD_FAILURE() << "no exception for " << nResult;
        }
        catch (const CExceptionBase& e)
        {
            EXPECT_EQ(e.m_nCode, 10);
            EXPECT_EQ(e.m_strMessage, L"Cannot find temp directory");
        }
    }
}

TEST(DownloadTempDirectory, ATargetPathFillsItsBufferAtMostAndNeverPassesIt)
{
    // 215 characters of temporary folder and 32 of the run's folder (the
    // longest that CreateDirectoryW takes): a name of 11 fills the 260
    // characters of the target path with its separator and terminator; one
    // more character would pass them.
    qftest::ScratchDir scratch;
    const std::wstring folder = scratch.path() + L"\\" + std::wstring(213 - scratch.path().size(), L't') + L"\\";
    ASSERT_EQ(folder.size(), 215u);
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ScopedEnvironment tmp(L"TMP", folder);
    ScopedEnvironment temp(L"TEMP", folder);
    ASSERT_EQ(CDownloadJob::GetTempDirectory(), folder);

    struct Case
    {
        size_t nName;
        bool bFits;
    };
    for (const Case c : {Case{11, true}, Case{12, false}, Case{40, false}})
    {
        SCOPED_TRACE(c.nName);
        CommandSink sink;
        CDownloadJob job;
        ASSERT_TRUE(job.StartRun(L"http://127.0.0.1:9/dist/" + std::wstring(c.nName, L'n'), sink.hwnd()));
        EXPECT_EQ(Finish(job, sink), std::vector<WORD>{ID_DOWNLOAD_FAILED});
        // Nothing listens there: a path that fits fails at the transfer, one
        // that does not fit fails before, without touching the buffer.
        EXPECT_EQ(job.ErrorText().compare(0, 38, L"Download failed.  Error = 0x800700CE\n\n") != 0, c.bFits)
            << qftest::Utf8(job.ErrorText());
        EXPECT_EQ(job.PackagePath()[0], L'\0');
        EXPECT_TRUE(RunFolders(folder).empty()) << "the failed run left its folder";
    }
}

TEST(DownloadTempDirectory, NoUsableTemporaryFolderIsCaughtOnTheWorker)
{
    ScopedEnvironment tmp(L"TMP", L"C:\\" + std::wstring(250, L'l'));
    ScopedEnvironment temp(L"TEMP", L"C:\\" + std::wstring(250, L'l'));

    // Through the real thread: nothing may leave it by exception, and the
    // run still ends with its one failure.
    CommandSink sink;
    CDownloadJob job;
    ASSERT_TRUE(job.StartRun(L"http://127.0.0.1:9/dist/QuillfeedSetup.exe", sink.hwnd()));
    EXPECT_EQ(Finish(job, sink), std::vector<WORD>{ID_DOWNLOAD_FAILED});
    EXPECT_EQ(job.ErrorText(), L"Cannot find temp directory");
}

TEST(DownloadPackagePath, EachRunHasAFolderOfItsOwnHeldWithItsPackageAndOnlyDeadRunsFoldersGo)
{
    qftest::ScratchDir temp;
    const std::wstring tempDir = temp.path() + L"\\";
    ScopedEnvironment tmp(L"TMP", tempDir);
    ScopedEnvironment tempVar(L"TEMP", tempDir);
    const std::string kPackage = "the new package";
    qftest::ScratchDir sources;
    qftest::WriteFileBytes(sources.file(L"p.bin"), kPackage);
    std::wstring fileUrl = L"file:///" + sources.file(L"p.bin");
    std::replace(fileUrl.begin(), fileUrl.end(), L'\\', L'/');

    // What an earlier run, or someone else, left in the temporary folder.
    enum class Before
    {
        Nothing,
        DeadRunsFolder, // its package inside, held by nobody
        LiveRunsFolder, // held open, not shared for deleting, as a run holds its own
        LookAlike,      // the prefix, but not a run's name
    };
    // What happens while the transfer stalls halfway.
    enum class During
    {
        Nothing,
        SecondName, // the package gets a second name, as another program could give it
    };
    // What the release manifest lists for the package, if anything.
    enum class Listed
    {
        Nothing,
        AsServed,
        LongerThanAnnounced,
        OtherHash
    };
    struct Case
    {
        const char* what;
        Before before;
        During during;
        bool bFileUrl;
        int nStatus;             // of the publisher's answer
        HRESULT hr;              // S_OK: ready with the package
        bool bShortTemp = false; // the temporary folder is given in 8.3 short names
        Listed listed = Listed::Nothing;
    };
    const Case cases[] = {
        {"nothing there", Before::Nothing, During::Nothing, false, 200, S_OK},
        {"a dead run's folder", Before::DeadRunsFolder, During::Nothing, false, 200, S_OK},
        {"a live run's folder", Before::LiveRunsFolder, During::Nothing, false, 200, S_OK},
        {"a folder that only looks like a run's", Before::LookAlike, During::Nothing, false, 200, S_OK},
        // The binding keeps no copy to serve here: nothing is stored.
        {"not modified, nothing stored", Before::Nothing, During::Nothing, false, 304,
         static_cast<HRESULT>(0x80190130)},
        {"a file: address, without an HTTP status", Before::Nothing, During::Nothing, true, 200, S_OK},
        {"a second name given during the transfer", Before::Nothing, During::SecondName, false, 200,
         HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE)},
        // The package's path is built from the name the system gives the held
        // folder: the long one, as the path check finds it.
        {"a temporary folder named in short names", Before::Nothing, During::Nothing, false, 200, S_OK, true},
        {"listed as served", Before::Nothing, During::Nothing, false, 200, S_OK, false, Listed::AsServed},
        {"listed longer than announced", Before::Nothing, During::Nothing, false, 200, kManifestFileMismatch, false,
         Listed::LongerThanAnnounced},
        {"listed with another SHA-256", Before::Nothing, During::Nothing, false, 200, kManifestFileMismatch, false,
         Listed::OtherHash},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        qftest::Publisher publisher;
        publisher.SetContent("/dist/p.bin", kPackage);
        publisher.SetStatus("/dist/p.bin", c.nStatus);
        if (c.during != During::Nothing)
            publisher.SetStall("/dist/p.bin", kPackage.size() / 2, INFINITE);
        const std::wstring earlier = tempDir + (c.before == Before::LookAlike ? L"QuillfeedUpdate-notes"
                                                                              : L"QuillfeedUpdate-0123456789abcdef");
        unique_hfile held;
        if (c.before != Before::Nothing)
        {
            ASSERT_TRUE(::CreateDirectoryW(earlier.c_str(), nullptr));
            qftest::WriteFileBytes(earlier + L"\\p.bin", "earlier");
        }
        if (c.before == Before::LiveRunsFolder)
        {
            held.reset(::CreateFileW(earlier.c_str(), DELETE | FILE_LIST_DIRECTORY,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
            ASSERT_TRUE(held);
        }

        wchar_t szShort[MAX_PATH]{};
        ASSERT_NE(::GetShortPathNameW(tempDir.c_str(), szShort, MAX_PATH), 0u);
        ASSERT_TRUE(!c.bShortTemp || tempDir != szShort) << "no short name here";
        ScopedEnvironment shortTmp(L"TMP", c.bShortTemp ? szShort : tempDir);

        // The SHA-256 of kPackage.
        ExpectedFile listed{kPackage.size(), {0xf5, 0x7a, 0xf4, 0x09, 0x96, 0xdf, 0xc4, 0x1f, 0x89, 0x49, 0x85,
                                              0xfd, 0x69, 0xdb, 0xec, 0x60, 0x24, 0xd3, 0x1d, 0xd2, 0x45, 0xe5,
                                              0x67, 0xe7, 0xe5, 0x70, 0x69, 0xe9, 0x45, 0x05, 0xe9, 0xe7}};
        listed.nSize += c.listed == Listed::LongerThanAnnounced ? 1 : 0;
        listed.sha256[31] ^= c.listed == Listed::OtherHash ? 1 : 0;
        CommandSink sink;
        CDownloadJob job;
        ASSERT_TRUE(job.StartRun(c.bFileUrl ? fileUrl : publisher.Url("/dist/p.bin"), sink.hwnd(),
                                 c.listed == Listed::Nothing ? nullptr : &listed));
        if (c.during == During::SecondName)
        {
            ASSERT_TRUE(qftest::WaitUntil([&] { return publisher.StallsReached("/dist/p.bin") == 1; }));
            const std::wstring package = RunFolders(tempDir).at(0) + L"\\p.bin";
            // Nobody else can write it while it arrives, but a second name can be made.
            const unique_hfile writer(::CreateFileW(package.c_str(), GENERIC_WRITE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, 0, nullptr));
            EXPECT_FALSE(writer);
            EXPECT_TRUE(::CreateHardLinkW(temp.file(L"second-name").c_str(), package.c_str(), nullptr));
            publisher.EndStalls();
        }
        Finish(job, sink);
        std::vector<std::wstring> folders = RunFolders(tempDir);
        if (c.before != Before::Nothing)
        {
            // Only the dead run's folder went; what cannot be a dead run's stays.
            const auto it = std::find(folders.begin(), folders.end(), earlier);
            EXPECT_EQ(it != folders.end(), c.before != Before::DeadRunsFolder);
            if (it != folders.end())
                folders.erase(it);
        }
        if (c.hr == S_OK)
        {
            EXPECT_TRUE(job.TakeOutcome(sink.Code(), Outcome::Ready)) << qftest::Utf8(job.ErrorText());
            ASSERT_EQ(folders.size(), 1u);
            EXPECT_EQ(job.PackageFolder(), folders.front());
            const std::wstring path = folders.front() + L"\\p.bin";
            EXPECT_EQ(job.PackagePath(), path);
            EXPECT_EQ(qftest::ReadFileBytes(path), kPackage);
            // Held until the hand-off: nobody may write it, delete it or move
            // it aside, nor move its folder or make one of the same name.
            const unique_hfile writer(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, 0, nullptr));
            EXPECT_FALSE(writer);
            EXPECT_FALSE(::DeleteFileW(path.c_str()));
            EXPECT_FALSE(::MoveFileExW(path.c_str(), temp.file(L"moved").c_str(), 0));
            EXPECT_FALSE(::MoveFileExW(folders.front().c_str(), temp.file(L"moved").c_str(), 0));
            EXPECT_FALSE(::CreateDirectoryW(folders.front().c_str(), nullptr));
            // The hand-off's check of the path. (What it refuses, a folder on
            // the way re-pointed, cannot be made here: Wine names an open
            // file by the path it was opened with.)
            EXPECT_EQ(job.CheckPackage(), S_OK);
            // Released, it stays for the installer, and the next run's start
            // removes it as a dead run's.
            job.ReleasePackage();
            EXPECT_EQ(qftest::ReadFileBytes(path), kPackage);
            CPackageFile::RemoveLeftovers(tempDir);
            EXPECT_FALSE(qftest::FileExists(folders.front()));
        }
        else
        {
            EXPECT_TRUE(job.TakeOutcome(sink.Code(), Outcome::Failed));
            wchar_t szCode[64];
            ::wsprintfW(szCode, L"Download failed.  Error = 0x%08lX\n\n", static_cast<unsigned long>(c.hr));
            EXPECT_EQ(job.ErrorText().compare(0, wcslen(szCode), szCode), 0) << qftest::Utf8(job.ErrorText());
            EXPECT_TRUE(folders.empty()) << "a refused package is left";
            // Refused on its head: not a byte of the body was read.
            EXPECT_TRUE(c.listed != Listed::LongerThanAnnounced || job.Progress().Reports() == 0);
        }
        held.reset();
        ::DeleteFileW((earlier + L"\\p.bin").c_str());
        ::RemoveDirectoryW(earlier.c_str());
        ::DeleteFileW(temp.file(L"second-name").c_str());
    }
}

TEST(DownloadStop, AStopEndsItsRunAsStoppedWhateverTheStalledServerDoesAfterIt)
{
    qftest::ScratchDir temp;
    ScopedEnvironment tmp(L"TMP", temp.path());
    ScopedEnvironment tempVar(L"TEMP", temp.path());
    for (const bool bSendsAgain : {false, true})
    {
        SCOPED_TRACE(bSendsAgain ? "the server sends the rest right after the stop" : "the server never sends again");
        CDownloadJob job;
        // However the test ends, no worker outlives its job.
        const struct StopOnExit
        {
            CDownloadJob& job;
            ~StopOnExit()
            {
                job.RequestStop();
                job.WaitForWorker(static_cast<DWORD>(qftest::kEventTimeout.count()));
            }
        } stopOnExit{job};
        qftest::Publisher publisher;
        publisher.SetContent("/dist/p.bin", std::string(1024 * 1024, 'p'));
        publisher.SetStall("/dist/p.bin", 64 * 1024, INFINITE);
        CommandSink sink;
        ASSERT_TRUE(job.StartRun(publisher.Url("/dist/p.bin"), sink.hwnd()));
        // The server stalls and the reports have stopped coming: no callback
        // is due that could refuse to go on.
        ASSERT_TRUE(qftest::WaitUntil([&] { return publisher.StallsReached("/dist/p.bin") == 1; }));
        long nTaken = -1;
        auto since = std::chrono::steady_clock::now();
        ASSERT_TRUE(qftest::WaitUntil([&] {
            DownloadProgress progress{};
            sink.Take();
            job.TakeProgress(sink.Code(), progress);
            if (job.Progress().Posted() != nTaken)
            {
                nTaken = job.Progress().Posted();
                since = std::chrono::steady_clock::now();
            }
            return nTaken > 0 && std::chrono::steady_clock::now() - since > std::chrono::seconds(1);
        }));

        job.RequestStop();
        // Where the server sends again, the whole body arrives after the stop:
        // the run is stopped all the same.
        if (bSendsAgain)
            publisher.EndStalls();
        // Cut short, although the server may never send again. (How soon, against
        // the dialog's stop wait, is a timing, which fails no test: a loaded
        // machine can take longer than the wait just to run the abort.)
        job.WaitForWorker(static_cast<DWORD>(qftest::kEventTimeout.count()));
        EXPECT_FALSE(job.IsRunning()) << "the stop did not end the transfer";
        sink.Take();
        Finish(job, sink);
        EXPECT_TRUE(job.TakeOutcome(sink.Code(), Outcome::Failed));
        EXPECT_EQ(job.ErrorText().compare(0, 38, L"Download failed.  Error = 0x80004004\n\n"), 0)
            << qftest::Utf8(job.ErrorText());
        EXPECT_TRUE(RunFolders(temp.path() + L"\\").empty());
    }
}

TEST(PackageFile, ItsHashIsOfTheBytesWrittenSinceItsLastRestartAndNoBytePassesItsExpectedLength)
{
    qftest::ScratchDir temp;
    CPackageFile package;
    ASSERT_EQ(package.Create(temp.path() + L"\\", L"p.bin", 3), S_OK);
    EXPECT_EQ(package.Write("xyz", 3), S_OK);
    ASSERT_EQ(package.Restart(), S_OK);
    EXPECT_EQ(package.Write("a", 1), S_OK);
    EXPECT_EQ(package.CheckAnnouncedLength(3), S_OK);
    EXPECT_EQ(package.CheckAnnouncedLength(4), kManifestFileMismatch);
    EXPECT_EQ(package.Write("bcd", 3), kManifestFileMismatch);
    EXPECT_EQ(package.Length(), 3u);
    EXPECT_EQ(qftest::ReadFileBytes(package.Path()), "abc");
    // The SHA-256 of "abc".
    unsigned char digest[32];
    ASSERT_EQ(package.Digest(digest), S_OK);
    EXPECT_EQ(
        std::string(reinterpret_cast<const char*>(digest), 32),
        std::string("\xBA\x78\x16\xBF\x8F\x01\xCF\xEA\x41\x41\x40\xDE\x5D\xAE\x22\x23\xB0\x03\x61\xA3\x96\x17\x7A\x9C"
                    "\xB4\x10\xFF\x61\xF2\x00\x15\xAD",
                    32));
    EXPECT_EQ(package.Seal(), S_OK);
    package.Discard();
    EXPECT_TRUE(RunFolders(temp.path() + L"\\").empty());
    // Shorter than expected, it cannot be sealed.
    ASSERT_EQ(package.Create(temp.path() + L"\\", L"p.bin", 3), S_OK);
    EXPECT_EQ(package.Write("ab", 2), S_OK);
    EXPECT_EQ(package.CheckAnnouncedLength(2), kManifestFileMismatch);
    EXPECT_EQ(package.Seal(), kManifestFileMismatch);
}
