// Starting a program the way a user's shell does, and waiting for events
// with generous time-outs: what the tools, benchmarks and tests share.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Owners.h"
#include "Witness.h"

namespace qfsupport
{

using namespace std::chrono_literals;

// The bound of every wait for one event of a program under test (a window, a
// box, a request, the program's end), from the build (QF_EVENT_TIMEOUT_S, the
// one place that also bounds the equipment's scripts and CTest's time-outs).
// Minutes: on a machine loaded by other work Wine has taken most of a minute
// to start a program. A wait ends as soon as its event happens, so the bound
// costs nothing when all goes well; nothing fails on time alone.
constexpr std::chrono::milliseconds kEventTimeout = std::chrono::seconds(QF_EVENT_TIMEOUT_S);

// Polls a condition every poll until it holds or the time-out passes; true
// if it held.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kEventTimeout,
               std::chrono::milliseconds poll = 20ms);

struct LaunchOptions
{
    std::wstring arguments;        // appended after the quoted program path
    std::wstring currentDirectory; // empty: the caller's own
    int showCommand = SW_SHOWNORMAL;
    // Extra variables "NAME=value" on top of the caller's environment.
    std::vector<std::wstring> environment;
    // Where the program's standard output goes; empty: nowhere in particular.
    std::wstring outputFile;
};

// A started program; ended on destruction if it is still running, so that
// nothing is left behind. Wine now and then fails a start with
// ERROR_INTERNAL_ERROR before any of the program runs; such a start is tried
// again. While it lives it is a witness (Witness.h): a failing test shows it.
class Process
{
public:
    Process(const std::wstring& program, const LaunchOptions& options = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return static_cast<bool>(m_process); }
    // Why the start failed (GetLastError), when it did.
    DWORD startError() const { return m_nStartError; }
    DWORD id() const { return m_pid; }
    HANDLE handle() const { return m_process.get(); }
    bool running() const;
    // Waits for the end; returns the exit code, or STILL_ACTIVE on time-out.
    DWORD Wait(std::chrono::milliseconds timeout = kEventTimeout);
    // The program's name and id, whether it still runs or how it ended, its
    // top-level windows, and the end of what it wrote to its output file.
    std::string Describe() const;

private:
    unique_handle m_process;
    DWORD m_pid = 0;
    DWORD m_nStartError = 0;
    std::wstring m_name;
    std::wstring m_outputFile;
    std::optional<Witness> m_witness;
};

} // namespace qfsupport
