// The download job's own logic, driven directly: the percentage, the progress
// texts, the stop check, the bound on queued progress commands, the COM
// identity and reference count, and the URL and temporary-folder rules.
#include "DownloadStatusCallBack.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "resource.h"

using qftest::ScopedEnvironment;

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
    std::vector<WORD> Take() const
    {
        std::vector<WORD> ids;
        MSG msg;
        while (::PeekMessageW(&msg, m_hWnd, WM_COMMAND, WM_COMMAND, PM_REMOVE))
            ids.push_back(LOWORD(msg.wParam));
        return ids;
    }

private:
    HWND m_hWnd;
};

std::wstring ByteSize(ULONG n)
{
    wchar_t sz[256];
    ::StrFormatByteSizeW(n, sz, 256);
    return sz;
}

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
    job.m_hWndNotify = sink.hwnd();

    EXPECT_EQ(job.OnProgress(999, 1000, BINDSTATUS_DOWNLOADINGDATA, nullptr), S_OK);
    EXPECT_EQ(std::wstring(job.m_szProgressText), L"Downloaded " + ByteSize(999) + L" of " + ByteSize(1000));
    EXPECT_EQ(std::wstring(job.m_szDoneSize), ByteSize(999));
    EXPECT_EQ(std::wstring(job.m_szTotalSize), ByteSize(1000));
    EXPECT_EQ(job.m_nPercent, 99);
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_PROGRESS});
    job.ProgressCommandTaken();

    EXPECT_EQ(job.OnProgress(5 * 1024 * 1024, 0, BINDSTATUS_DOWNLOADINGDATA, nullptr), S_OK);
    EXPECT_EQ(std::wstring(job.m_szProgressText), L"Downloaded " + ByteSize(5 * 1024 * 1024) + L" (total size unknown)");
    EXPECT_EQ(job.m_nPercent, 0);
}

TEST(DownloadProgress, AfterTheStopRequestACallbackIsRefusedAndPostsNothing)
{
    CommandSink sink;
    CDownloadStatusCallBack job;
    job.m_hWndNotify = sink.hwnd();
    job.OnProgress(10, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr);
    sink.Take();
    job.ProgressCommandTaken();

    job.m_bStop = true;
    EXPECT_EQ(job.OnProgress(50, 100, BINDSTATUS_DOWNLOADINGDATA, nullptr), E_ABORT);
    EXPECT_TRUE(sink.Take().empty());
    EXPECT_EQ(job.m_nPercent, 10);
}

TEST(DownloadProgress, AtMostOneProgressCommandWaitsInTheQueue)
{
    CommandSink sink;
    CDownloadStatusCallBack job;
    job.m_hWndNotify = sink.hwnd();

    // Far more reports than a thread's queue may hold.
    for (ULONG n = 1; n <= 20000; ++n)
        job.OnProgress(n, 20000, BINDSTATUS_DOWNLOADINGDATA, nullptr);
    EXPECT_EQ(sink.Take().size(), 1u);
    EXPECT_EQ(job.m_nPercent, 100);  // the waiting command shows the latest values

    // Once the dialog has taken the command, the next report posts again.
    job.ProgressCommandTaken();
    job.OnProgress(1, 2, BINDSTATUS_DOWNLOADINGDATA, nullptr);
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_PROGRESS});
    EXPECT_EQ(job.m_nProgressPosted.load(), 2);
    EXPECT_EQ(job.m_nProgressHandled.load(), 1);
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
    EXPECT_EQ(pJob->m_nRefCount, 3);

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
        job.m_hWndNotify = sink.hwnd();
        job.m_strUrl = url;
        EXPECT_EQ(job.Run(), 0u);
        EXPECT_EQ(job.m_strError, L"Invalid url");
        EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_FAILED});
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

TEST(DownloadTempDirectory, TooLongATargetPathFailsWithoutTouchingTheBuffer)
{
    // 239 characters of folder and a 40-character file name: more than the
    // 260 characters of the target path.
    const std::wstring folder = L"C:\\" + std::wstring(235, L't') + L"\\";
    ScopedEnvironment tmp(L"TMP", folder);
    ScopedEnvironment temp(L"TEMP", folder);
    ASSERT_EQ(CDownloadStatusCallBack::GetTempDirectory().size(), 239u);

    CommandSink sink;
    CDownloadStatusCallBack job;
    job.m_hWndNotify = sink.hwnd();
    job.m_strUrl = L"http://127.0.0.1:9/dist/" + std::wstring(40, L'n');
    job.Run();
    EXPECT_EQ(job.m_strError.compare(0, 38, L"Download failed.  Error = 0x800700CE\n\n"), 0);
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_FAILED});
    EXPECT_EQ(job.m_szFilePath[0], L'\0');
}

TEST(DownloadTempDirectory, NoUsableTemporaryFolderIsCaughtOnTheWorker)
{
    ScopedEnvironment tmp(L"TMP", L"C:\\" + std::wstring(250, L'l'));
    ScopedEnvironment temp(L"TEMP", L"C:\\" + std::wstring(250, L'l'));

    CommandSink sink;
    CDownloadStatusCallBack job;
    job.m_hWndNotify = sink.hwnd();
    job.m_strUrl = L"http://127.0.0.1:9/dist/QuillfeedSetup.exe";
    // Through the real thread: nothing may leave it by exception.
    job.Start();
    ASSERT_EQ(::WaitForSingleObject(job.m_hThread.get(), 30000), WAIT_OBJECT_0);
    DWORD nExit = 1;
    ::GetExitCodeThread(job.m_hThread.get(), &nExit);
    EXPECT_EQ(nExit, 0u);
    EXPECT_EQ(job.m_strError, L"Cannot find temp directory");
    EXPECT_EQ(sink.Take(), std::vector<WORD>{ID_DOWNLOAD_FAILED});
}
