// What the end-to-end tests need to meet the programs the way a user does:
// start them as processes, find their windows and message boxes, and wait for
// events with generous time-outs.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qftest
{

using namespace std::chrono_literals;

// Generous: Wine can be slow on a loaded machine, and no test fails on time alone.
constexpr std::chrono::milliseconds kEventTimeout = 30s;

// Polls a condition until it holds or the time-out passes; true if it held.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = kEventTimeout);

class unique_handle
{
public:
    unique_handle() = default;
    explicit unique_handle(HANDLE h) : m_h(h) {}
    unique_handle(unique_handle&& other) noexcept : m_h(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    ~unique_handle() { reset(); }

    HANDLE get() const { return m_h; }
    HANDLE release()
    {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    void reset(HANDLE h = nullptr)
    {
        if (m_h && m_h != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_h);
        m_h = h;
    }
    explicit operator bool() const { return m_h && m_h != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h = nullptr;
};

// The folder of the running test executable (build/bin).
std::wstring TestBinDir();
// The folder of the deliverables of this build tree (build/dist).
std::wstring DistDir();
std::wstring UpdaterPath();

// A fresh empty folder under the temporary folder, removed with its contents.
class ScratchDir
{
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::wstring& path() const { return m_path; }
    std::wstring file(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

struct LaunchOptions
{
    std::wstring arguments;          // appended after the quoted program path
    std::wstring currentDirectory;   // empty: the test's own
    int showCommand = SW_SHOWNORMAL;
    // Extra variables "NAME=value" on top of the test's own environment.
    std::vector<std::wstring> environment;
    // Where the program's standard output goes; empty: nowhere in particular.
    std::wstring outputFile;
};

// A started program; killed on destruction if it is still running, so a
// failing test never leaves a process behind.
class Process
{
public:
    Process(const std::wstring& program, const LaunchOptions& options = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    DWORD id() const { return m_pid; }
    HANDLE handle() const { return m_process.get(); }
    bool running() const;
    // Waits for the end; returns the exit code, or STILL_ACTIVE on time-out.
    DWORD Wait(std::chrono::milliseconds timeout = kEventTimeout);

private:
    unique_handle m_process;
    DWORD m_pid = 0;
};

std::vector<HWND> TopLevelWindowsOf(DWORD pid);
// The first visible-or-not top-level window of the process with that class
// (and caption, when one is given), waiting for it to appear.
HWND WaitForTopLevelWindow(DWORD pid, const std::wstring& className,
                           const std::wstring& caption = L"",
                           std::chrono::milliseconds timeout = kEventTimeout);

std::wstring WindowText(HWND hWnd);
std::wstring ClassNameOf(HWND hWnd);

// A message box of the process: a #32770 window with the text static 0xFFFF.
struct MessageBoxInfo
{
    HWND hWnd = nullptr;
    std::wstring caption;
    std::wstring text;
    bool icon = false;         // an icon shows beside the text
    std::vector<int> buttons;  // the ids of its visible buttons, in window order

    bool OkOnly() const { return buttons == std::vector<int>{IDOK}; }
};
MessageBoxInfo WaitForMessageBox(DWORD pid, std::chrono::milliseconds timeout = kEventTimeout);
// Presses the OK button of a message box and waits for the box to go.
void AnswerMessageBox(const MessageBoxInfo& box);

// The text a plugin shows for a failing HRESULT, worked out here from this
// system's message table (Wine's texts differ from Windows'), apart from the
// plugins' own code, so that a change in theirs shows in the tests: the
// system text without its final line break, else "IDispatch error #n" for
// 0x80040200 to 0x8004FFFF, else "Unknown error 0x..." in capitals.
std::wstring ComErrorText(HRESULT hr);

} // namespace qftest
