// The download job's own logic, driven directly: the percentage, the progress
// texts, the stop check, the bound on queued progress commands, the COM
// identity and reference count, and the URL and temporary-folder rules.
#include "Publisher.h"  // winsock2.h before windows.h

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
using Outcome = CDownloadStatusCallBack::Outcome;

namespace
{
// A message-only window that receives the job's commands on this thread.
class CommandSink
{
public:
    CommandSink() : m_hWnd(::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}
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
std::vector<WORD> Finish(CDownloadStatusCallBack& job, CommandSink& sink)
{
    job.WaitForWorker(static_cast<DWORD>(qftest::kEventTimeout.count()));
    EXPECT_FALSE(job.IsRunning());
    return sink.Take();
}

// A run whose worker ends at once (its URL has no slash), so that the job's
// callbacks can be driven by hand as that run's.
void StartIdleRun(CDownloadStatusCallBack& job, CommandSink& sink)
{
    ASSERT_TRUE(job.StartRun(L"no-slash", sink.hwnd()));
    ASSERT_EQ(Finish(job, sink), std::vector<WORD>{ID_DOWNLOAD_FAILED});
}

// What a progress command of the current run shows.
DownloadProgress Shown(CDownloadStatusCallBack& job, WORD nRun)
{
    DownloadProgress progress{};
    EXPECT_TRUE(job.TakeProgress(nRun, progress));
    return progress;
}

std::wstring ByteSize(ULONG n)
{
    wchar_t sz[256];
    ::StrFormatByteSizeW(n, sz, 256);
    return sz;
}

// A job whose package gets a second name the moment its download ends, as
// another program sharing the temporary folder could give it.
class LinkingJob : public CDownloadStatusCallBack
{
public:
    explicit LinkingJob(std::wstring link) : m_link(std::move(link)) {}
    STDMETHODIMP OnStopBinding(HRESULT hr, LPCWSTR pszError) override
    {
        if (!m_link.empty())
            ::CreateHardLinkW(m_link.c_str(), PackagePath(), nullptr);
        return CDownloadStatusCallBack::OnStopBinding(hr, pszError);
    }

private:
    std::wstring m_link;
};

// A job whose transfer the stop cannot reach: the binding never handed over,
// and the rest of the body arriving without a progress callback that could
// refuse it (as Wine delivers a stalled body once it resumes).
class UnstoppableTransferJob : public CDownloadStatusCallBack
{
public:
    STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return E_NOTIMPL; }
    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode, LPCWSTR szText) override
    {
        const HRESULT hr = CDownloadStatusCallBack::OnProgress(ulProgress, ulProgressMax, ulStatusCode, szText);
        return hr == E_ABORT ? S_OK : hr;
    }
};

class CountedJob : public CDownloadStatusCallBack
{
public:
    explicit CountedJob(bool& bDestroyed) : m_bDestroyed(bDestroyed) {}
    ~CountedJob() override { m_bDestroyed = true; }

private:
    bool& m_bDestroyed;
};
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
}

TEST(DownloadResponse, OnlyABodyStoredAsSentIsHeldAgainstItsContentLength)
{
    struct Case
    {
        DWORD dwStatus;
        const wchar_t* headers;
        bool bKnown;
        ULONGLONG nLength;
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
        {200, L"HTTP/1.1 200 OK\r\nX-Content-Length: 7\r\n\r\n", false, 0},
        {200, nullptr, false, 0},
    };
    for (const Case& c : cases)
    {
        ULONGLONG nLength = 0;
        EXPECT_EQ(StoredLengthFromHeaders(c.dwStatus, c.headers, nLength), c.bKnown)
            << (c.headers ? std::string(c.headers, c.headers + wcslen(c.headers)) : "no headers");
        if (c.bKnown)
        {
            EXPECT_EQ(nLength, c.nLength);
        }
    }
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
    ASSERT_NE(::FormatMessageW(0x1300, nullptr, static_cast<DWORD>(hr), 0x400,
                               reinterpret_cast<LPWSTR>(&pszSystem), 0, nullptr), 0u);
    const std::wstring strSystem = pszSystem;
    ::LocalFree(pszSystem);
    EXPECT_EQ(DownloadFailureText(hr), L"Download failed.  Error = 0x80070002\n\n" + strSystem);
}

TEST(DownloadProgress, WritesTheTwoTextsAndThePercentage)
{
    CommandSink sink;
    CDownloadStatusCallBack job;
    StartIdleRun(job, sink);
    const WORD nRun = sink.Code();

    EXPECT_EQ(job.OnProgress(999, 1000, BINDSTATUS_DOWNLOADINGDATA, nullptr), S_OK);
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_PROGRESS});
    EXPECT_EQ(sink.Code(), nRun);
    DownloadProgress shown = Shown(job, nRun);
    EXPECT_EQ(std::wstring(shown.szText), L"Downloaded " + ByteSize(999) + L" of " + ByteSize(1000));
    EXPECT_EQ(shown.nPercent, 99);

    EXPECT_EQ(job.OnProgress(5 * 1024 * 1024, 0, BINDSTATUS_DOWNLOADINGDATA, nullptr), S_OK);
    shown = Shown(job, nRun);
    EXPECT_EQ(std::wstring(shown.szText), L"Downloaded " + ByteSize(5 * 1024 * 1024) + L" (total size unknown)");
    EXPECT_EQ(shown.nPercent, 0);
}

TEST(DownloadProgress, AfterTheStopRequestACallbackIsRefusedAndPostsNothing)
{
    CommandSink sink;
    CDownloadStatusCallBack job;
    StartIdleRun(job, sink);
    const WORD nRun = sink.Code();
    job.OnProgress(10, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr);
    sink.Take();
    Shown(job, nRun);

    job.RequestStop();
    EXPECT_EQ(job.OnProgress(50, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr), E_ABORT);
    EXPECT_TRUE(sink.Take().empty());
    EXPECT_EQ(Shown(job, nRun).nPercent, 10);
}

TEST(DownloadProgress, AtMostOneProgressCommandWaitsInTheQueueAndEachRunPostsItsFirst)
{
    CommandSink sink;
    CDownloadStatusCallBack job;
    StartIdleRun(job, sink);
    const WORD nRun = sink.Code();

    // Far more reports than a thread's queue may hold.
    for (ULONG n = 1; n <= 20000; ++n)
        job.OnProgress(n, 20000, BINDSTATUS_DOWNLOADINGDATA, nullptr);
    EXPECT_EQ(sink.Take().size(), 1u);
    EXPECT_EQ(Shown(job, nRun).nPercent, 100);  // the waiting command shows the latest values

    // Once the dialog has taken the command, the next report posts again.
    job.OnProgress(1, 2, BINDSTATUS_DOWNLOADINGDATA, nullptr);
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_PROGRESS});
    EXPECT_EQ(job.ProgressCommandsPosted(), 2);
    EXPECT_EQ(job.ProgressCommandsTaken(), 1);

    // A command left waiting when the run ended belongs to that run: the next
    // run's first report still posts, and only its own command is taken.
    StartIdleRun(job, sink);
    const WORD nNextRun = sink.Code();
    EXPECT_NE(nNextRun, nRun);
    job.OnProgress(3, 4, BINDSTATUS_DOWNLOADINGDATA, nullptr);
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_PROGRESS});
    EXPECT_EQ(sink.Code(), nNextRun);
    DownloadProgress progress{};
    EXPECT_FALSE(job.TakeProgress(nRun, progress));
    EXPECT_EQ(Shown(job, nNextRun).nPercent, 75);
}

TEST(DownloadOutcome, OnlyTheCurrentRunsConcludedOutcomeIsTakenAndOnlyOnce)
{
    using Outcome = CDownloadStatusCallBack::Outcome;
    CommandSink sink;
    CDownloadStatusCallBack job;
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

TEST(DownloadJobCom, QueryInterfaceAddRefAndRelease)
{
    bool bDestroyed = false;
    auto* pJob = new CountedJob(bDestroyed);
    IBindStatusCallback* pCallback = pJob;

    EXPECT_EQ(pCallback->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(pCallback->QueryInterface(IID_IStream, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);

    IUnknown* pUnknown = nullptr;
    ASSERT_EQ(pCallback->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(pUnknown), static_cast<void*>(pCallback));
    IBindStatusCallback* pAgain = nullptr;
    ASSERT_EQ(pCallback->QueryInterface(IID_IBindStatusCallback, reinterpret_cast<void**>(&pAgain)), S_OK);
    EXPECT_EQ(pAgain, pCallback);
    IHttpNegotiate* pNegotiate = nullptr;
    ASSERT_EQ(pCallback->QueryInterface(IID_IHttpNegotiate, reinterpret_cast<void**>(&pNegotiate)), S_OK);

    EXPECT_EQ(pCallback->AddRef(), 4u);
    EXPECT_EQ(pNegotiate->Release(), 3u);
    EXPECT_EQ(pAgain->Release(), 2u);
    EXPECT_EQ(pUnknown->Release(), 1u);
    EXPECT_FALSE(bDestroyed);
    EXPECT_EQ(pCallback->Release(), 0u);
    EXPECT_TRUE(bDestroyed);
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
        CDownloadStatusCallBack job;
        ASSERT_TRUE(job.StartRun(url, sink.hwnd()));
        EXPECT_EQ(Finish(job, sink), std::vector<WORD>{ID_DOWNLOAD_FAILED});
        EXPECT_TRUE(job.TakeOutcome(sink.Code(), CDownloadStatusCallBack::Outcome::Failed));
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

    const std::wstring full = L"C:\\" + std::wstring(236, L'x');  // 239 characters
    EXPECT_EQ(TempDirectoryFrom(full.c_str(), 239), full);
    const std::wstring room = L"C:\\" + std::wstring(235, L'x');  // 238: one more fits
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
    // 239 characters of folder: a name of 20 fills the 260 characters of the
    // target path with its terminator; one more character would pass them.
    const std::wstring folder = L"C:\\" + std::wstring(235, L't') + L"\\";
    ScopedEnvironment tmp(L"TMP", folder);
    ScopedEnvironment temp(L"TEMP", folder);
    ASSERT_EQ(CDownloadStatusCallBack::GetTempDirectory().size(), 239u);

    struct Case
    {
        size_t nName;
        bool bFits;
    };
    for (const Case c : {Case{20, true}, Case{21, false}, Case{40, false}})
    {
        SCOPED_TRACE(c.nName);
        const std::wstring name(c.nName, L'n');
        CommandSink sink;
        CDownloadStatusCallBack job;
        ASSERT_TRUE(job.StartRun(L"http://127.0.0.1:9/dist/" + name, sink.hwnd()));
        EXPECT_EQ(Finish(job, sink), std::vector<WORD>{ID_DOWNLOAD_FAILED});
        // The folder does not exist: a path that fits fails there, one that
        // does not fit fails before, without touching the buffer.
        if (c.bFits)
        {
            EXPECT_EQ(job.PackagePath(), folder + name);
            EXPECT_EQ(job.ErrorText().compare(0, 38, L"Download failed.  Error = 0x80070003\n\n"), 0);
        }
        else
        {
            EXPECT_EQ(job.PackagePath()[0], L'\0');
            EXPECT_EQ(job.ErrorText().compare(0, 38, L"Download failed.  Error = 0x800700CE\n\n"), 0);
        }
    }
}

TEST(DownloadTempDirectory, NoUsableTemporaryFolderIsCaughtOnTheWorker)
{
    ScopedEnvironment tmp(L"TMP", L"C:\\" + std::wstring(250, L'l'));
    ScopedEnvironment temp(L"TEMP", L"C:\\" + std::wstring(250, L'l'));

    // Through the real thread: nothing may leave it by exception, and the
    // run still ends with its one failure.
    CommandSink sink;
    CDownloadStatusCallBack job;
    ASSERT_TRUE(job.StartRun(L"http://127.0.0.1:9/dist/QuillfeedSetup.exe", sink.hwnd()));
    EXPECT_EQ(Finish(job, sink), std::vector<WORD>{ID_DOWNLOAD_FAILED});
    EXPECT_EQ(job.ErrorText(), L"Cannot find temp directory");
}

TEST(DownloadPackagePath, OnlyWhatCanBeDeletedMakesWayAndTheNewPackageIsHeldAsTheOnlyName)
{
    qftest::ScratchDir temp;
    ScopedEnvironment tmp(L"TMP", temp.path());
    ScopedEnvironment tempVar(L"TEMP", temp.path());
    qftest::Publisher publisher;
    const std::string kPackage = "the new package";
    publisher.SetContent("/dist/p.bin", kPackage);
    const std::wstring path = temp.file(L"p.bin");
    qftest::ScratchDir sources;
    qftest::WriteFileBytes(sources.file(L"p.bin"), kPackage);
    std::wstring fileUrl = L"file:///" + sources.file(L"p.bin");
    std::replace(fileUrl.begin(), fileUrl.end(), L'\\', L'/');

    enum class Before
    {
        Nothing,
        StaleFileWithASecondName,
        FileHeldOpen,
        Directory,
    };
    struct Case
    {
        const char* what;
        Before before;
        std::wstring url;
        int nStatus;      // of the publisher's answer
        bool bLinkAtEnd;  // a second name appears as the download ends
        HRESULT hr;       // S_OK: ready with the package
    };
    const std::wstring http = publisher.Url("/dist/p.bin");
    const Case cases[] = {
        {"nothing there", Before::Nothing, http, 200, false, S_OK},
        {"a stale file with a second name", Before::StaleFileWithASecondName, http, 200, false, S_OK},
        {"a file held open, not shared for deleting", Before::FileHeldOpen, http, 200, false,
         HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)},
        {"a directory", Before::Directory, http, 200, false, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        // The binding keeps no copy to serve here: nothing is stored.
        {"not modified, nothing stored", Before::Nothing, http, 304, false, static_cast<HRESULT>(0x80190130)},
        {"a file: address, without an HTTP status", Before::Nothing, fileUrl, 200, false, S_OK},
        {"a second name given as the download ends", Before::Nothing, http, 200, true,
         HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        publisher.SetStatus("/dist/p.bin", c.nStatus);
        const std::wstring other = temp.file(L"other-name");
        unique_hfile held;
        if (c.before == Before::StaleFileWithASecondName)
        {
            qftest::WriteFileBytes(path, "stale");
            ASSERT_TRUE(::CreateHardLinkW(other.c_str(), path.c_str(), nullptr));
        }
        if (c.before == Before::FileHeldOpen)
        {
            qftest::WriteFileBytes(path, "someone else's");
            held.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held);
        }
        if (c.before == Before::Directory)
        {
            ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
        }
        const int nRequests = publisher.RequestCount("/dist/p.bin");

        CommandSink sink;
        LinkingJob job(c.bLinkAtEnd ? other : L"");
        ASSERT_TRUE(job.StartRun(c.url, sink.hwnd()));
        Finish(job, sink);
        if (c.hr == S_OK)
        {
            EXPECT_TRUE(job.TakeOutcome(sink.Code(), Outcome::Ready)) << qftest::Utf8(job.ErrorText());
            EXPECT_EQ(qftest::ReadFileBytes(path), kPackage);
            // Held until the hand-off: nobody may write it or move it aside.
            const unique_hfile writer(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                    FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_FALSE(writer);
            EXPECT_FALSE(::MoveFileExW(path.c_str(), temp.file(L"moved").c_str(), 0));
            job.ReleasePackage();
            EXPECT_TRUE(::DeleteFileW(path.c_str()));
        }
        else
        {
            EXPECT_TRUE(job.TakeOutcome(sink.Code(), Outcome::Failed));
            wchar_t szCode[64];
            ::wsprintfW(szCode, L"Download failed.  Error = 0x%08lX\n\n", static_cast<unsigned long>(c.hr));
            EXPECT_EQ(job.ErrorText().compare(0, wcslen(szCode), szCode), 0) << qftest::Utf8(job.ErrorText());
            EXPECT_FALSE(qftest::FileExists(path) && c.before == Before::Nothing) << "a refused package is left";
        }
        // What was there and could not go is untouched, and never downloaded into.
        if (c.before == Before::FileHeldOpen || c.before == Before::Directory)
        {
            EXPECT_EQ(publisher.RequestCount("/dist/p.bin"), nRequests);
            held.reset();
            if (c.before == Before::FileHeldOpen)
            {
                EXPECT_EQ(qftest::ReadFileBytes(path), "someone else's");
            }
            EXPECT_TRUE(c.before == Before::Directory ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str()));
        }
        // A second name keeps what it named: the stale file was not written into.
        if (c.before == Before::StaleFileWithASecondName)
        {
            EXPECT_EQ(qftest::ReadFileBytes(other), "stale");
        }
        ::DeleteFileW(other.c_str());
    }
}

TEST(DownloadStop, AStopEndsItsRunAsStoppedWhetherOrNotTheStalledTransferCanBeCutShort)
{
    qftest::ScratchDir temp;
    ScopedEnvironment tmp(L"TMP", temp.path());
    ScopedEnvironment tempVar(L"TEMP", temp.path());
    for (const bool bReachable : {true, false})
    {
        SCOPED_TRACE(bReachable ? "the binding is aborted" : "the transfer cannot be reached");
        CDownloadStatusCallBack plainJob;
        UnstoppableTransferJob unstoppableJob;
        CDownloadStatusCallBack& job = bReachable ? plainJob : unstoppableJob;
        // However the test ends, no worker outlives its job.
        const struct StopOnExit
        {
            CDownloadStatusCallBack& job;
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
        // The server stalls and the reports have stopped coming: no progress
        // callback is due that could refuse to go on.
        ASSERT_TRUE(qftest::WaitUntil([&] { return publisher.StallsReached("/dist/p.bin") == 1; }));
        long nTaken = -1;
        auto since = std::chrono::steady_clock::now();
        ASSERT_TRUE(qftest::WaitUntil([&] {
            DownloadProgress progress{};
            sink.Take();
            job.TakeProgress(sink.Code(), progress);
            if (job.ProgressCommandsPosted() != nTaken)
            {
                nTaken = job.ProgressCommandsPosted();
                since = std::chrono::steady_clock::now();
            }
            return nTaken > 0 && std::chrono::steady_clock::now() - since > std::chrono::seconds(1);
        }));

        job.RequestStop();
        if (bReachable)
        {
            // Cut short, although the server never sends again. (How soon, against
            // the dialog's stop wait, is a timing, which fails no test: a loaded
            // machine can take longer than the wait just to run the abort.)
            job.WaitForWorker(static_cast<DWORD>(qftest::kEventTimeout.count()));
            EXPECT_FALSE(job.IsRunning()) << "the stop did not end the stalled transfer";
        }
        else
        {
            // The whole body arrives after the stop: the run is stopped all the same.
            publisher.EndStalls();
        }
        sink.Take();
        Finish(job, sink);
        EXPECT_TRUE(job.TakeOutcome(sink.Code(), Outcome::Failed));
        EXPECT_EQ(job.ErrorText().compare(0, 38, L"Download failed.  Error = 0x80004004\n\n"), 0)
            << qftest::Utf8(job.ErrorText());
        EXPECT_FALSE(qftest::FileExists(temp.file(L"p.bin")));
    }
}
