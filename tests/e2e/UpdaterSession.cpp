#include "UpdaterSession.h"

#include <gtest/gtest.h>

namespace qftest
{

UpdaterSession::UpdaterSession(LaunchOptions options, const std::wstring& program)
{
    if (options.currentDirectory.empty())
        options.currentDirectory = m_dir.path();
    m_process = std::make_unique<Process>(program, options);
    // The dialog exists, invisible, while it is set up (What's New fetched and
    // shown in its box); it counts as there once it shows.
    m_dialog = WaitForTopLevelWindow(m_process->id(), L"#32770", kDialogCaption);
    EXPECT_NE(m_dialog, nullptr) << "the update dialog did not appear";
    if (m_dialog && !WaitUntil([&] { return ::IsWindowVisible(m_dialog) != FALSE; }))
    {
        ADD_FAILURE() << "the update dialog was made but never shown";
        m_dialog = nullptr;
    }
}

HWND UpdaterSession::Focus() const
{
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    const DWORD thread = ::GetWindowThreadProcessId(m_dialog, nullptr);
    if (!::GetGUIThreadInfo(thread, &info))
        return nullptr;
    return info.hwndFocus;
}

void UpdaterSession::PressKey(WORD vk) const
{
    HWND target = Focus();
    if (!target)
        target = m_dialog;
    const UINT scan = ::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    ::PostMessageW(target, WM_KEYDOWN, vk, 1 | (scan << 16));
    ::PostMessageW(target, WM_KEYUP, vk, 1 | (scan << 16) | (1u << 30) | (1u << 31));
}

} // namespace qftest
