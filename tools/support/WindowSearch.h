// Finding a program's windows from outside it, as a user's eye would: its
// top-level windows, their class and text, its dialogs and message boxes.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qfsupport
{

std::vector<HWND> TopLevelWindowsOf(DWORD pid);
std::wstring ClassNameOf(HWND hWnd);
// The window's text, read with WM_GETTEXT, which works across processes.
std::wstring WindowText(HWND hWnd);
// The process's top-level windows, one line each: handle, class, title and
// whether it is visible (read without a message, so a hung program cannot
// hold the description up).
std::string DescribeWindowsOf(DWORD pid);

// A visible dialog window (#32770) that is a message box: it has the box's
// text static (0xFFFF) and an OK button.
bool IsMessageBox(HWND hWnd);
// The first visible dialog of the process that is (or is not) a message box,
// with that caption when one is given; null when there is none.
HWND FindVisibleDialog(DWORD pid, bool bMessageBox, const wchar_t* pszCaption = nullptr);

// Looks for this process's message boxes on a thread of its own, every poll,
// from construction until destruction, and hands each box that appears to
// onBox once, on that thread: to answer it, write it down, or give up.
class MessageBoxWatch
{
public:
    explicit MessageBoxWatch(std::function<void(HWND)> onBox,
                             std::chrono::milliseconds poll = std::chrono::milliseconds(20));
    ~MessageBoxWatch();
    MessageBoxWatch(const MessageBoxWatch&) = delete;
    MessageBoxWatch& operator=(const MessageBoxWatch&) = delete;

private:
    std::atomic<bool> m_bDone{false};
    std::thread m_thread;
};

} // namespace qfsupport
