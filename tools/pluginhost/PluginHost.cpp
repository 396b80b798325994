// Stands in for the feed reader where it meets a blog-this plugin: loads the
// library by path, prints its display name and calls BlogThis with one item,
// on a thread with COM initialised as the reader has it (or, to test the
// plugin's failure, without).
//
//   PluginHost.exe PLUGIN.dll [--item FILE | --null-item] [--no-com]
//                  [--reserved N] [--nested FILE] [--answer-boxes] [--stats]
//                  [--repeat N]
//
//   --item FILE     the item text, read from a UTF-8 file
//   --null-item     pass a null pointer as the item text
//   --no-com        do not initialise COM on the calling thread
//   --reserved N    the second argument of BlogThis (default 0)
//   --nested FILE   while BlogThis shows a message box, call BlogThis again
//                   from inside the box's message loop with this item
//   --answer-boxes  print the text of every message box and press its OK;
//                   without it, the host prints a line when a message box
//                   window of its own is made and when it goes, so that a
//                   test that saw no box can tell whether there was one
//   --stats         print how long BlogThis took and the peak memory use
//   --repeat N      call BlogThis N times with the item, and print the
//                   process's handle count after the first call and after
//                   the last: what a plugin leaks per call shows there
//
// Without --item or --null-item only the name is printed.
// Exit codes: 0 done, 1 bad arguments, 2 the library does not load,
// 3 an export is missing, 4 an item file cannot be read, 5 an export left the
// stack pointer moved (it did not remove exactly its own arguments).
#define PSAPI_VERSION 2
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "Files.h"
#include "PluginCall.h"
#include "Text.h"
#include "WindowSearch.h"

namespace
{
qfsupport::BlogThisFn g_blogThis = nullptr;
std::wstring g_strNestedItem;

void PrintLine(const std::wstring& text)
{
    std::printf("%s\n", qfsupport::Utf8(text).c_str());
    std::fflush(stdout);
}

// How many handles the process holds: GetProcessHandleCount answers 0 under
// Wine, so the system's handle table is counted for this process instead.
DWORD HandleCount()
{
    DWORD nCount = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &nCount) && nCount)
        return nCount;
    using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query)
        return 0;
    // SystemExtendedHandleInformation: a count, a reserved word, then one
    // record per handle with its owner's process id in the second field.
    struct Entry
    {
        void* pObject;
        ULONG_PTR nProcessId;
        ULONG_PTR nHandle;
        ULONG nAccess;
        USHORT nCreatorBackTrace;
        USHORT nType;
        ULONG nAttributes;
        ULONG nReserved;
    };
    std::vector<unsigned char> buffer(1 << 20);
    ULONG nNeeded = 0;
    LONG status;
    while ((status = query(64, buffer.data(), static_cast<ULONG>(buffer.size()), &nNeeded)) ==
           static_cast<LONG>(0xC0000004)) // STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(std::max<size_t>(buffer.size() * 2, nNeeded));
    if (status < 0)
        return 0;
    const ULONG_PTR nEntries = *reinterpret_cast<const ULONG_PTR*>(buffer.data());
    const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + 2 * sizeof(ULONG_PTR));
    const ULONG_PTR nSelf = ::GetCurrentProcessId();
    for (ULONG_PTR i = 0; i < nEntries; ++i)
        nCount += entries[i].nProcessId == nSelf;
    return nCount;
}

// The reader calls both exports as stdcall. An export that leaves the stack
// pointer moved corrupts the reader's stack even where nothing crashes, so the
// host says so and ends at once.
void CheckStack(const char* pszExport, std::intptr_t nMoved)
{
    if (nMoved == 0)
        return;
    std::fprintf(stderr, "Stack imbalance: %s moved the stack pointer by %ld bytes\n", pszExport,
                 static_cast<long>(nMoved));
    std::fflush(stderr);
    ::ExitProcess(5);
}

void BlogThis(const wchar_t* itemText, LONG_PTR reserved)
{
    CheckStack("BlogThis", qfsupport::CallBlogThis(g_blogThis, itemText, reserved));
}

bool ReadItemFile(const wchar_t* path, std::wstring& text)
{
    if (!qfsupport::FileExists(path))
        return false;
    text = qfsupport::FromUtf8(qfsupport::ReadFileBytes(path));
    return true;
}

// The reader's windows stay enabled under an ownerless box, so the reader may
// call the plugin again from inside the box's loop; this timer does just that.
void CALLBACK OnNestedTimer(HWND, UINT, UINT_PTR idEvent, DWORD)
{
    ::KillTimer(nullptr, idEvent);
    PrintLine(L"Nested BlogThis call");
    BlogThis(g_strNestedItem.c_str(), 0);
    PrintLine(L"Nested BlogThis returned");
}

// Says when a dialog window (a message box) of the calling thread is made,
// shown and gone.
DWORD g_nCallStart = 0;

LRESULT CALLBACK OnWindowMessage(int nCode, WPARAM wParam, LPARAM lParam)
{
    const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
    const wchar_t* event = message->message == WM_CREATE                          ? L"made"
                           : message->message == WM_SHOWWINDOW && message->wParam ? L"shown"
                           : message->message == WM_DESTROY                       ? L"gone"
                                                                                  : nullptr;
    if (nCode == HC_ACTION && event && qfsupport::ClassNameOf(message->hwnd) == L"#32770")
    {
        wchar_t caption[128]{};
        ::GetWindowTextW(message->hwnd, caption, 128);
        PrintLine(L"Dialog window \"" + std::wstring(caption) + L"\" " + event + L", " +
                  std::to_wstring(::GetTickCount() - g_nCallStart) + L" ms into the call");
    }
    return ::CallNextHookEx(nullptr, nCode, wParam, lParam);
}

// Answers a plugin's message box the way a user would, so that the run
// command and measurements need no one at the screen.
void AnswerBox(HWND box)
{
    PrintLine(L"Message box \"" + qfsupport::WindowText(box) + L"\": " +
              qfsupport::WindowText(::GetDlgItem(box, 0xFFFF)));
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
}

int Usage()
{
    std::fprintf(stderr, "usage: PluginHost PLUGIN.dll [--item FILE | --null-item] [--no-com] [--reserved N]\n"
                         "                  [--nested FILE] [--answer-boxes] [--stats] [--repeat N]\n");
    return 1;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage();
    const wchar_t* pluginPath = argv[1];
    const wchar_t* itemPath = nullptr;
    const wchar_t* nestedPath = nullptr;
    bool bCall = false, bCom = true, bAnswer = false, bStats = false;
    LONG_PTR reserved = 0;
    long nCalls = 1;
    for (int i = 2; i < argc; ++i)
    {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--item" && hasValue)
            itemPath = argv[++i], bCall = true;
        else if (arg == L"--null-item")
            bCall = true;
        else if (arg == L"--no-com")
            bCom = false;
        else if (arg == L"--reserved" && hasValue)
            reserved = static_cast<LONG_PTR>(std::wcstoll(argv[++i], nullptr, 0));
        else if (arg == L"--nested" && hasValue)
            nestedPath = argv[++i];
        else if (arg == L"--answer-boxes")
            bAnswer = true;
        else if (arg == L"--stats")
            bStats = true;
        else if (arg == L"--repeat" && hasValue && (nCalls = std::wcstol(argv[++i], nullptr, 10)) > 0)
            ;
        else
            return Usage();
    }

    std::wstring item;
    if (itemPath && !ReadItemFile(itemPath, item))
        return 4;
    if (nestedPath && !ReadItemFile(nestedPath, g_strNestedItem))
        return 4;

    if (bCom)
        ::CoInitialize(nullptr);
    HMODULE plugin = ::LoadLibraryW(pluginPath);
    if (!plugin)
        return 2;
    const auto getName = reinterpret_cast<qfsupport::GetPluginNameFn>(
        reinterpret_cast<void*>(::GetProcAddress(plugin, "GetQuillfeedPluginName")));
    g_blogThis =
        reinterpret_cast<qfsupport::BlogThisFn>(reinterpret_cast<void*>(::GetProcAddress(plugin, "BlogThis")));
    if (!getName || !g_blogThis)
        return 3;
    const wchar_t* pszName = nullptr;
    CheckStack("GetQuillfeedPluginName", qfsupport::CallGetPluginName(getName, pszName));
    PrintLine(L"Plugin: " + std::wstring(pszName));

    if (bCall)
    {
        std::optional<qfsupport::MessageBoxWatch> answerer;
        HHOOK hTrace = nullptr;
        if (bAnswer)
            answerer.emplace(AnswerBox, std::chrono::milliseconds(50));
        else
            hTrace = ::SetWindowsHookExW(WH_CALLWNDPROC, OnWindowMessage, nullptr, ::GetCurrentThreadId());
        if (nestedPath)
            ::SetTimer(nullptr, 0, 200, OnNestedTimer);

        const DWORD start = g_nCallStart = ::GetTickCount();
        BlogThis(itemPath ? item.c_str() : nullptr, reserved);
        const DWORD elapsed = ::GetTickCount() - start;
        PrintLine(L"BlogThis returned");
        if (hTrace)
            ::UnhookWindowsHookEx(hTrace);
        if (nCalls > 1)
        {
            const DWORD nAfterFirst = HandleCount();
            for (long n = 1; n < nCalls; ++n)
                BlogThis(itemPath ? item.c_str() : nullptr, reserved);
            const DWORD nAfterLast = HandleCount();
            std::printf("Handles after the first call: %lu; after call %ld: %lu\n", nAfterFirst, nCalls, nAfterLast);
            std::fflush(stdout);
        }
        answerer.reset();
        if (bStats)
        {
            PROCESS_MEMORY_COUNTERS counters{};
            counters.cb = sizeof(counters);
            ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
            std::printf("BlogThis took %lu ms; peak working set %llu KB\n", elapsed,
                        static_cast<unsigned long long>(counters.PeakWorkingSetSize / 1024));
            std::fflush(stdout);
        }
    }

    ::FreeLibrary(plugin);
    if (bCom)
        ::CoUninitialize();
    return 0;
}
