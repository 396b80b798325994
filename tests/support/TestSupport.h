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
#include "Registry.h"
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
using qfsupport::ScopedRegistryValue;
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

// Lets everyone only read a key for one scope, then puts the key's own access
// list back: what a user who may not write a key sees.
class ScopedReadOnlyKey
{
public:
    ScopedReadOnlyKey(HKEY hRoot, const wchar_t* key);
    ~ScopedReadOnlyKey();
    ScopedReadOnlyKey(const ScopedReadOnlyKey&) = delete;
    ScopedReadOnlyKey& operator=(const ScopedReadOnlyKey&) = delete;

    bool applied() const { return m_bSaved && m_bApplied; }

private:
    unique_hkey m_hKey;
    std::vector<BYTE> m_old;
    bool m_bSaved = false;
    bool m_bApplied = false;
};

// The pages that the http recorder of the test prefix is asked to open, by
// this process and the programs it starts, while the object lives.
class OpenedPages
{
public:
    OpenedPages();
    std::string Text() const { return ReadFileBytes(m_dir.file(L"opened.txt")); }
    // Waits until the page's line has been written.
    bool WaitFor(const std::string& page) const;

private:
    ScratchDir m_dir;
    ScopedEnvironment m_record;
};

// What a window painted, row by row.
struct Pixels
{
    int cx = 0;
    std::vector<COLORREF> colors;

    COLORREF At(int x, int y) const { return colors[static_cast<size_t>(y) * cx + x]; }
    size_t Count(COLORREF clr) const;
    // The longest run of one colour along any row.
    int LongestRun(COLORREF clr) const;
};
// The client area as the window prints it (WM_PRINTCLIENT) over black.
Pixels PrintedPixels(HWND hWnd);
// What the screen shows of the window.
Pixels ScreenPixels(HWND hWnd);

// A started program (see qfsupport::Process); a start that fails fails the test.
class Process : public qfsupport::Process
{
public:
    Process(const std::wstring& program, const LaunchOptions& options = {});
};

// The first visible-or-not top-level window of the process with that class
// (and caption, when one is given), waiting for it to appear.
HWND WaitForTopLevelWindow(DWORD pid, const std::wstring& className, const std::wstring& caption = L"",
                           std::chrono::milliseconds timeout = kEventTimeout);

// A message box of the process: a #32770 window with the text static 0xFFFF.
struct MessageBoxInfo
{
    HWND hWnd = nullptr;
    std::wstring caption;
    std::wstring text;
    bool icon = false;        // an icon shows beside the text
    std::vector<int> buttons; // the ids of its visible buttons, in window order

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
