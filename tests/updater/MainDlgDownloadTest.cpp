// The dialog's side of the download, driven in-process against the loopback
// publisher: which of the worker's commands the dialog acts on, and in what
// order of clicks. Message boxes are answered by a watcher thread, which
// writes down what they said.
#include "Publisher.h" // winsock2.h before windows.h

#include "MainDlg.h"
#include "TestSupport.h"
#include "UpdaterNames.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

using namespace qftest;

namespace
{

// The module, a scratch folder as current and temporary folder (the settings
// file and the package land there), for one test.
class DialogScope
{
public:
    DialogScope()
    {
        g_appModule.Init(::GetModuleHandleW(nullptr));
        wchar_t szDir[MAX_PATH]{};
        ::GetCurrentDirectoryW(MAX_PATH, szDir);
        m_oldDir = szDir;
        ::SetCurrentDirectoryW(m_dir.path().c_str());
    }
    ~DialogScope()
    {
        ::SetCurrentDirectoryW(m_oldDir.c_str());
        g_appModule.Term();
    }
    DialogScope(const DialogScope&) = delete;
    DialogScope& operator=(const DialogScope&) = delete;

private:
    ScratchDir m_dir;
    std::wstring m_oldDir;
    ScopedEnvironment m_tmp{L"TMP", m_dir.path()};
    ScopedEnvironment m_temp{L"TEMP", m_dir.path()};
};

// Answers every message box of this process with OK and keeps its text;
// before it answers, hands the box to beforeAnswer, when one is given.
class BoxWatcher
{
public:
    explicit BoxWatcher(std::function<void(HWND)> beforeAnswer = {}) : m_beforeAnswer(std::move(beforeAnswer)) {}

    std::vector<std::wstring> Texts() const
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_texts;
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::wstring> m_texts;
    std::function<void(HWND)> m_beforeAnswer;
    qfsupport::MessageBoxWatch m_watch{[this](HWND box) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_texts.push_back(WindowText(::GetDlgItem(box, 0xFFFF)));
        }
        if (m_beforeAnswer)
            m_beforeAnswer(box);
        MessageBoxInfo info;
        info.hWnd = box;
        AnswerMessageBox(info);
    }};
};

void Click(HWND hDialog, int id)
{
    ::SendMessageW(hDialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(hDialog, id)));
}

std::wstring Caption(HWND hDialog, int id)
{
    wchar_t text[64]{};
    ::GetDlgItemTextW(hDialog, id, text, 64);
    return text;
}

// Handles what waits in this thread's queue; the exit code of a WM_QUIT
// among it, if one came.
std::optional<int> Pump()
{
    std::optional<int> quit;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        if (msg.message == WM_QUIT)
            quit = static_cast<int>(msg.wParam);
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return quit;
}

// The notification code of the first download command with that id in the
// queue, left in it.
std::optional<WORD> QueuedCommandCode(HWND hDialog, WORD id)
{
    std::vector<MSG> taken;
    std::optional<WORD> code;
    MSG msg;
    while (::PeekMessageW(&msg, hDialog, WM_COMMAND, WM_COMMAND, PM_REMOVE))
    {
        if (!code && LOWORD(msg.wParam) == id)
            code = HIWORD(msg.wParam);
        taken.push_back(msg);
    }
    for (const MSG& m : taken)
        ::PostMessageW(m.hwnd, m.message, m.wParam, m.lParam);
    return code;
}
} // namespace

TEST(DialogDownload, AnOutcomeBeforeAnyRunOrOfAnEarlierRunIsIgnored)
{
    DialogScope scope;
    BoxWatcher boxes;
    auto publisher = std::make_unique<Publisher>();
    publisher->SetStatus(kSetupPackagePathA, 404);
    CMainDlg dlg;
    ASSERT_NE(dlg.Create(nullptr), nullptr) << "error " << ::GetLastError();

    // Before any download, the code of an ordinary command, as any program
    // could post it: nothing is handed off and nothing shown.
    ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(ID_DOWNLOAD_READY, 0), 0);
    ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(ID_DOWNLOAD_FAILED, 0), 0);
    EXPECT_FALSE(Pump()) << "a ready command before any download handed off";
    EXPECT_TRUE(boxes.Texts().empty());

    // The first run fails at once; its command waits in the queue while the
    // user stops and starts again, and the second run stalls.
    Click(dlg, IDC_DOWNLOAD);
    ASSERT_TRUE(WaitUntil([&] { return !dlg.IsWorkerRunning(); }));
    const std::optional<WORD> firstRun = QueuedCommandCode(dlg, ID_DOWNLOAD_FAILED);
    ASSERT_TRUE(firstRun) << "the first run posted no failure";
    Click(dlg, IDC_DOWNLOAD);
    EXPECT_EQ(Caption(dlg, IDC_DOWNLOAD), L"Download && Install");
    publisher->ResetBehaviour(kSetupPackagePathA);
    publisher->SetContent(kSetupPackagePathA, std::string(64 * 1024, 's'));
    publisher->SetStall(kSetupPackagePathA, 1024, 120000);
    Click(dlg, IDC_DOWNLOAD);
    ASSERT_TRUE(WaitUntil([&] { return publisher->RequestCount(kSetupPackagePathA) == 2; }));

    // The first run's failure arrives now, and so does a ready command of that
    // run: neither is about the download that runs.
    ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(ID_DOWNLOAD_PROGRESS, *firstRun), 0);
    ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(ID_DOWNLOAD_READY, *firstRun), 0);
    // A box shown by a handler would have been answered before Pump returns.
    EXPECT_FALSE(Pump()) << "an earlier run's ready command handed the package off";
    EXPECT_TRUE(boxes.Texts().empty()) << "an earlier run's outcome was shown";
    ASSERT_TRUE(::IsWindow(dlg));
    EXPECT_EQ(Caption(dlg, IDC_DOWNLOAD), L"Stop Download");

    // The second run's own failure is shown.
    publisher.reset();
    EXPECT_TRUE(WaitUntil([&] {
        Pump();
        return boxes.Texts().size() == 1;
    }));
    dlg.DestroyWindow();
}

TEST(DialogDownload, StopClickAfterTheDownloadSucceededStillHandsOff)
{
    DialogScope scope;
    BoxWatcher boxes;
    Publisher publisher;
    publisher.SetContent(kSetupPackagePathA, ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
    CMainDlg dlg;
    ASSERT_NE(dlg.Create(nullptr), nullptr) << "error " << ::GetLastError();

    // The worker has finished and its ready command waits when the user
    // clicks Stop: the transfer is over, so the hand-off goes on.
    Click(dlg, IDC_DOWNLOAD);
    ASSERT_TRUE(WaitUntil([&] { return !dlg.IsWorkerRunning(); }));
    Click(dlg, IDC_DOWNLOAD);
    EXPECT_EQ(Caption(dlg, IDC_DOWNLOAD), L"Download && Install");
    std::optional<int> quit;
    EXPECT_TRUE(WaitUntil([&] {
        quit = Pump();
        return quit.has_value();
    }));
    EXPECT_EQ(quit, std::optional<int>(1));
    EXPECT_FALSE(::IsWindow(dlg));
    const auto texts = boxes.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), kReadyText);
}

TEST(DialogDownload, AClickPostedDuringTheReadyBoxStartsNothingAndTheHandOffGoesOn)
{
    DialogScope scope;
    Publisher publisher;
    publisher.SetContent(kSetupPackagePathA, ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
    CMainDlg dlg;
    // The click reaches the dialog through the box's own loop before the
    // box's OK does: both are posted to the dialog's thread, in that order.
    BoxWatcher boxes([&](HWND) { ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_DOWNLOAD, BN_CLICKED), 0); });
    ASSERT_NE(dlg.Create(nullptr), nullptr) << "error " << ::GetLastError();

    Click(dlg, IDC_DOWNLOAD);
    std::optional<int> quit;
    EXPECT_TRUE(WaitUntil([&] {
        quit = Pump();
        return quit.has_value();
    }));
    EXPECT_EQ(quit, std::optional<int>(1)) << "the package was not handed off";
    EXPECT_EQ(boxes.Texts(), std::vector<std::wstring>{kReadyText});
    EXPECT_FALSE(dlg.IsWorkerRunning());
    EXPECT_EQ(publisher.RequestCount(kSetupPackagePathA), 1);
}

TEST(DialogDownload, AWorkerThatCannotBeCreatedFailsTheRunAtOnceWithTheSystemsCode)
{
    DialogScope scope;
    BoxWatcher boxes;
    Publisher publisher;
    CMainDlg dlg;
    ASSERT_NE(dlg.Create(nullptr), nullptr) << "error " << ::GetLastError();
    const CQfThread::BeginThreadFn pfnSaved = CQfThread::s_pfnBeginThread;
    CQfThread::s_pfnBeginThread = [](void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned,
                                     unsigned*) -> std::uintptr_t {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    };
    Click(dlg, IDC_DOWNLOAD);
    CQfThread::s_pfnBeginThread = pfnSaved;
    EXPECT_TRUE(WaitUntil([&] {
        Pump();
        return !boxes.Texts().empty();
    }));
    ASSERT_EQ(boxes.Texts().size(), 1u);
    EXPECT_EQ(boxes.Texts().front().compare(0, 38, L"Download failed.  Error = 0x80070008\n\n"), 0)
        << Utf8(boxes.Texts().front());
    // The failed state of any download: the next click resets.
    EXPECT_EQ(Caption(dlg, IDC_DOWNLOAD), L"Stop Download");
    EXPECT_EQ(publisher.RequestCount(kSetupPackagePathA), 0);
    dlg.DestroyWindow();
}
