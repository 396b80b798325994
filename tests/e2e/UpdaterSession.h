// One run of the real update program, started the way a user starts it, in a
// scratch current directory of its own (where its settings file lives).
#pragma once

#include "TestSupport.h"
#include "UpdaterNames.h"

#include <memory>

namespace qftest
{

constexpr int kExitClosed = 2;
constexpr int kExitHandedOff = 1;

class UpdaterSession
{
public:
    // The program is the build's own update program unless a test names
    // another one built from the same sources.
    explicit UpdaterSession(LaunchOptions options = {}, const std::wstring& program = UpdaterPath());

    Process& process() { return *m_process; }
    HWND dialog() const { return m_dialog; }
    HWND item(int id) const { return ::GetDlgItem(m_dialog, id); }
    const ScratchDir& dir() const { return m_dir; }

    // The window that has the keyboard focus in the updater's UI thread.
    HWND Focus() const;
    // Presses a key the way the keyboard delivers it to the focused control.
    void PressKey(WORD vk) const;
    // Waits for the process to end; STILL_ACTIVE on time-out.
    DWORD WaitForExit() { return m_process->Wait(); }

private:
    ScratchDir m_dir;
    std::unique_ptr<Process> m_process;
    HWND m_dialog = nullptr;
};

} // namespace qftest
