// What the end-to-end tests need to meet the programs the way a user does:
// start them as processes, find their windows and message boxes, and wait for
// events with generous time-outs.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Files.h"
#include "Owners.h"
#include "Text.h"
#include "WindowSearch.h"

namespace qftest
{

// The shared helpers of the tools and tests, under the tests' own names.
using namespace std::chrono_literals;
using qfsupport::ClassNameOf;
using qfsupport::FileExists;
using qfsupport::FromUtf8;
using qfsupport::kEventTimeout;
using qfsupport::LaunchOptions;
using qfsupport::ReadFileBytes;
using qfsupport::ScratchDir;
using qfsupport::TopLevelWindowsOf;
using qfsupport::Utf8;
using qfsupport::WaitUntil;
using qfsupport::WindowText;
using qfsupport::WriteFileBytes;

// The folder of the running test executable (build/bin).
std::wstring TestBinDir();
// The folder of the deliverables of this build tree (build/dist).
std::wstring DistDir();
std::wstring UpdaterPath();

// Sets an environment variable of this process for one scope and puts the
// earlier value (or its absence) back afterwards.
class ScopedEnvironment
{
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::wstring m_name, m_old;
    bool m_had = false;
};

// A started program (see qfsupport::Process); a start that fails fails the test.
class Process : public qfsupport::Process
{
public:
    Process(const std::wstring& program, const LaunchOptions& options = {});
};

// The first visible-or-not top-level window of the process with that class
// (and caption, when one is given), waiting for it to appear.
HWND WaitForTopLevelWindow(DWORD pid, const std::wstring& className,
                           const std::wstring& caption = L"",
                           std::chrono::milliseconds timeout = kEventTimeout);

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
