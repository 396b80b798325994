// The message loop and the dialog frame, driven in-process with real messages.
#include "MainDlg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
constexpr UINT kProbe = WM_APP + 1;

class RecordingFilter : public CMessageFilter
{
public:
    RecordingFilter(std::string name, std::vector<std::string>& log, bool consume)
        : m_name(std::move(name)), m_log(log), m_consume(consume)
    {
    }
    BOOL PreTranslateMessage(MSG* pMsg) override
    {
        if (pMsg->message == kProbe)
            m_log.push_back(m_name);
        return m_consume && pMsg->message == kProbe;
    }

private:
    std::string m_name;
    std::vector<std::string>& m_log;
    bool m_consume;
};

class RecordingIdle : public CIdleHandler
{
public:
    RecordingIdle(std::string name, std::vector<std::string>& log) : m_name(std::move(name)), m_log(log) {}
    BOOL OnIdle() override
    {
        m_log.push_back(m_name);
        // Quit from the first idle pass so the loop under test ends.
        ::PostQuitMessage(7);
        return FALSE;
    }

private:
    std::string m_name;
    std::vector<std::string>& m_log;
};

struct ModuleScope
{
    ModuleScope() { g_appModule.Init(::GetModuleHandleW(nullptr)); }
    ~ModuleScope() { g_appModule.Term(); }
};
} // namespace

TEST(MessageLoop, OffersMessagesToFiltersNewestFirstAndStopsAtTheConsumer)
{
    std::vector<std::string> log;
    RecordingFilter older("older", log, false);
    RecordingFilter consumer("consumer", log, true);
    RecordingFilter newest("newest", log, false);
    CMessageLoop loop;
    loop.AddMessageFilter(&older);
    loop.AddMessageFilter(&consumer);
    loop.AddMessageFilter(&newest);

    MSG peek{};
    ::PeekMessageW(&peek, nullptr, 0, 0, PM_NOREMOVE); // gives the thread its queue
    ::PostThreadMessageW(::GetCurrentThreadId(), kProbe, 0, 0);
    ::PostQuitMessage(3);
    EXPECT_EQ(loop.Run(), 3);
    EXPECT_EQ(log, (std::vector<std::string>{"newest", "consumer"}));
}

TEST(MessageLoop, CallsIdleHandlersInRegistrationOrderWhenTheQueueIsEmpty)
{
    std::vector<std::string> log;
    RecordingIdle first("first", log);
    RecordingIdle second("second", log);
    CMessageLoop loop;
    loop.AddIdleHandler(&first);
    loop.AddIdleHandler(&second);
    loop.RemoveIdleHandler(&second);
    loop.AddIdleHandler(&second);

    EXPECT_EQ(loop.Run(), 7);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "first");
    EXPECT_EQ(log[1], "second");
}

// Idle work runs once per empty queue, and a mouse move alone does not arm it
// again: the second idle pass must wait for the timer message.
TEST(MessageLoop, IdleWorkRunsAgainOnlyAfterAMessageThatIsNotAMouseMove)
{
    struct Probe : CMessageFilter, CIdleHandler
    {
        int nIdle = 0;
        bool bTimerSeen = false;
        bool bTimerSeenBeforeSecondIdle = false;
        BOOL PreTranslateMessage(MSG* pMsg) override
        {
            if (pMsg->message == WM_TIMER)
            {
                bTimerSeen = true;
                ::KillTimer(nullptr, pMsg->wParam);
            }
            return FALSE;
        }
        BOOL OnIdle() override
        {
            if (++nIdle == 1)
            {
                ::PostThreadMessageW(::GetCurrentThreadId(), WM_MOUSEMOVE, 0, 0);
                ::SetTimer(nullptr, 0, 50, nullptr);
            }
            else
            {
                bTimerSeenBeforeSecondIdle = bTimerSeen;
                ::PostQuitMessage(0);
            }
            return FALSE;
        }
    } probe;
    CMessageLoop loop;
    loop.AddMessageFilter(&probe);
    loop.AddIdleHandler(&probe);
    EXPECT_EQ(loop.Run(), 0);
    EXPECT_EQ(probe.nIdle, 2);
    EXPECT_TRUE(probe.bTimerSeenBeforeSecondIdle);
}

TEST(MessageLoop, MouseMovesPaintAndCaretTimerDoNotRearmIdleWork)
{
    MSG msg{};
    for (UINT message : {UINT(WM_MOUSEMOVE), UINT(WM_NCMOUSEMOVE), UINT(WM_PAINT), 0x0118u})
    {
        msg.message = message;
        EXPECT_TRUE(CMessageLoop::IsIdleMessage(msg)) << message;
    }
    msg.message = WM_KEYDOWN;
    EXPECT_FALSE(CMessageLoop::IsIdleMessage(msg));
}

TEST(AppModule, KeepsOneMessageLoopPerThread)
{
    ModuleScope module;
    CMessageLoop loop;
    EXPECT_EQ(g_appModule.GetMessageLoop(), nullptr);
    EXPECT_TRUE(g_appModule.AddMessageLoop(&loop));
    EXPECT_EQ(g_appModule.GetMessageLoop(), &loop);
    EXPECT_EQ(g_appModule.GetMessageLoop(::GetCurrentThreadId() + 1), nullptr);
    EXPECT_TRUE(g_appModule.RemoveMessageLoop());
    EXPECT_EQ(g_appModule.GetMessageLoop(), nullptr);
}

TEST(MainDialog, RegistersWithTheLoopAndClosesWithTheCloseCommandWhateverItsCode)
{
    ModuleScope module;
    CMessageLoop loop;
    g_appModule.AddMessageLoop(&loop);
    {
        CMainDlg dlg;
        ASSERT_NE(dlg.Create(nullptr), nullptr);
        EXPECT_FALSE(::IsWindowVisible(dlg.m_hWnd)) << "the dialog shows only when it is told to";
        HWND hWnd = dlg.m_hWnd;

        // The dialog is the loop's one message filter (its keyboard handling)
        // and one idle handler: each list gives it up exactly once.
        EXPECT_TRUE(loop.RemoveMessageFilter(&dlg));
        EXPECT_FALSE(loop.RemoveMessageFilter(&dlg));
        EXPECT_TRUE(loop.RemoveIdleHandler(&dlg));
        EXPECT_FALSE(loop.RemoveIdleHandler(&dlg));
        MSG tab{hWnd, WM_KEYDOWN, VK_TAB, 0, 0, {0, 0}};
        EXPECT_TRUE(dlg.PreTranslateMessage(&tab)) << "the filter is the dialog's keyboard handling";

        ::PostMessageW(hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_DOUBLECLICKED), 0);
        EXPECT_EQ(loop.Run(), IDCANCEL);
        EXPECT_FALSE(::IsWindow(hWnd));
        EXPECT_EQ(dlg.m_hWnd, nullptr);
    }
    g_appModule.RemoveMessageLoop();
}
