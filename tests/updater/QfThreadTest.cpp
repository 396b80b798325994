// The worker thread base: creation, resumption, restart and ownership of the
// native thread.
#include "QfThread.h"

#include <gtest/gtest.h>

#include "ChildProcess.h"

#include <atomic>
#include <stdexcept>

namespace
{
const DWORD kWait = static_cast<DWORD>(qfsupport::kEventTimeout.count());

class Event
{
public:
    Event() : m_h(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Event() { ::CloseHandle(m_h); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void Set() { ::SetEvent(m_h); }
    bool Wait() { return ::WaitForSingleObject(m_h, kWait) == WAIT_OBJECT_0; }
    HANDLE get() const { return m_h; }

private:
    HANDLE m_h;
};

// Counts its runs; each run waits until the test lets it go.
class GatedThread : public CQfThread
{
public:
    explicit GatedThread(unsigned nResult = 0) : m_nResult(nResult) {}
    unsigned Run() override
    {
        ++m_nRuns;
        m_entered.Set();
        m_release.Wait();
        return m_nResult;
    }

    Event m_entered;
    Event m_release;
    std::atomic<int> m_nRuns{0};
    unsigned m_nResult;
};

bool WaitForFinish(CQfThread& thread)
{
    // m_bFinished is set after Run returns, just before the routine ends.
    return ::WaitForSingleObject(thread.m_hThread.get(), kWait) == WAIT_OBJECT_0 && thread.m_bFinished;
}

std::uintptr_t FailingBeginThread(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*)
{
    return 0;
}

// Puts the creation seam back even when an assertion ends the test early.
struct BeginThreadOverride
{
    explicit BeginThreadOverride(CQfThread::BeginThreadFn pfn) : m_saved(CQfThread::s_pfnBeginThread)
    {
        CQfThread::s_pfnBeginThread = pfn;
    }
    ~BeginThreadOverride() { CQfThread::s_pfnBeginThread = m_saved; }
    CQfThread::BeginThreadFn m_saved;
};
} // namespace

TEST(QfThread, StartWhileRunningOnlyResumesTheOneThread)
{
    GatedThread thread;
    EXPECT_EQ(thread.m_hThread.get(), nullptr);
    thread.Start();
    ASSERT_NE(thread.m_hThread.get(), nullptr);
    ASSERT_TRUE(thread.m_entered.Wait());
    const HANDLE hFirst = thread.m_hThread.get();
    const unsigned nFirstId = thread.m_nThreadId;
    EXPECT_NE(nFirstId, 0u);
    EXPECT_EQ(::GetThreadId(hFirst), nFirstId);

    thread.Start();
    EXPECT_EQ(thread.m_hThread.get(), hFirst);
    EXPECT_EQ(thread.m_nThreadId, nFirstId);
    EXPECT_FALSE(thread.m_bFinished);

    thread.m_release.Set();
    ASSERT_TRUE(WaitForFinish(thread));
    EXPECT_EQ(thread.m_nRuns, 1);
}

TEST(QfThread, StartAfterAFinishedRunClosesTheOldHandleAndMakesANewThread)
{
    GatedThread thread(42);
    thread.m_release.Set();
    thread.Start();
    ASSERT_TRUE(WaitForFinish(thread));
    DWORD nExit = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread.m_hThread.get(), &nExit));
    EXPECT_EQ(nExit, 42u);

    // Keep the first thread object alive through a handle of our own, so its
    // identifier cannot be handed to the new thread.
    HANDLE hKeep = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), thread.m_hThread.get(), ::GetCurrentProcess(), &hKeep, 0,
                                  FALSE, DUPLICATE_SAME_ACCESS));
    const HANDLE hOld = thread.m_hThread.get();
    const unsigned nOldId = thread.m_nThreadId;

    thread.m_nResult = 7;
    thread.Start();
    ASSERT_NE(thread.m_hThread.get(), nullptr);
    EXPECT_NE(thread.m_nThreadId, nOldId);
    EXPECT_EQ(::GetThreadId(thread.m_hThread.get()), thread.m_nThreadId);
    EXPECT_FALSE(::GetHandleInformation(hOld, &nExit) && hOld != thread.m_hThread.get())
        << "the finished thread's handle stays open";
    ASSERT_TRUE(WaitForFinish(thread));
    ASSERT_TRUE(::GetExitCodeThread(thread.m_hThread.get(), &nExit));
    EXPECT_EQ(nExit, 7u);
    EXPECT_EQ(thread.m_nRuns, 2);
    ::CloseHandle(hKeep);
}

TEST(QfThread, FailedCreationLeavesTheObjectIdleAndTheNextStartTriesAgain)
{
    GatedThread thread;
    thread.m_release.Set();
    {
        BeginThreadOverride failing(&FailingBeginThread);
        EXPECT_FALSE(thread.Start());
        EXPECT_EQ(thread.m_hThread.get(), nullptr);
        EXPECT_EQ(thread.m_nThreadId, 0u);
        EXPECT_FALSE(thread.m_bFinished);
        // The owner's bounded wait returns at once on an idle object.
        EXPECT_EQ(::WaitForSingleObjectEx(thread.m_hThread.get(), 5000, FALSE), WAIT_FAILED);
    }
    EXPECT_EQ(thread.m_nRuns, 0);

    EXPECT_TRUE(thread.Start());
    ASSERT_NE(thread.m_hThread.get(), nullptr);
    ASSERT_TRUE(WaitForFinish(thread));
    EXPECT_EQ(thread.m_nRuns, 1);
}

TEST(QfThread, DestructorClosesTheHandleItHolds)
{
    HANDLE hHeld = nullptr;
    {
        GatedThread thread;
        thread.m_release.Set();
        thread.Start();
        ASSERT_TRUE(WaitForFinish(thread));
        hHeld = thread.m_hThread.get();
        DWORD nFlags = 0;
        ASSERT_TRUE(::GetHandleInformation(hHeld, &nFlags));
    }
    DWORD nFlags = 0;
    EXPECT_FALSE(::GetHandleInformation(hHeld, &nFlags));
}

TEST(QfThread, RunThatThrowsEndsFinishedWithTheFailureExitCode)
{
    struct Throwing : CQfThread
    {
        unsigned Run() override { throw std::runtime_error("the run failed"); }
    };
    Throwing thread;
    thread.Start();
    ASSERT_TRUE(WaitForFinish(thread));
    DWORD nExitCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread.m_hThread.get(), &nExitCode));
    EXPECT_EQ(nExitCode, static_cast<DWORD>(-1));
}

TEST(QfThread, AutoDeleteDestroysTheObjectAfterRun)
{
    struct SelfDeleting : CQfThread
    {
        explicit SelfDeleting(Event& gone) : m_gone(gone) { m_bAutoDelete = true; }
        ~SelfDeleting() override { m_gone.Set(); }
        unsigned Run() override { return 5; }
        Event& m_gone;
    };
    Event gone;
    auto* pThread = new SelfDeleting(gone);
    pThread->Start();
    EXPECT_TRUE(gone.Wait());
}
