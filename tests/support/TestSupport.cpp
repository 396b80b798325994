#include "TestSupport.h"

#include <gtest/gtest.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <atomic>
#include <cwchar>
#include <thread>

namespace qftest
{

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

std::wstring TestBinDir()
{
    wchar_t path[MAX_PATH]{};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    ::PathRemoveFileSpecW(path);
    return path;
}

std::wstring DistDir()
{
    wchar_t path[MAX_PATH]{};
    ::PathCombineW(path, TestBinDir().c_str(), L"..\\dist");
    return path;
}

std::wstring UpdaterPath()
{
    return DistDir() + L"\\QuillfeedUpdater.exe";
}

ScratchDir::ScratchDir()
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH]{};
    ::GetTempPathW(MAX_PATH, temp);
    for (;;)
    {
        std::wstring candidate = std::wstring(temp) + L"qftest-" +
                                 std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(counter++);
        if (::CreateDirectoryW(candidate.c_str(), nullptr))
        {
            m_path = candidate;
            return;
        }
    }
}

ScratchDir::~ScratchDir()
{
    // SHFileOperation wants a double-terminated list.
    std::wstring from = m_path;
    from.push_back(L'\0');
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    ::SHFileOperationW(&op);
}

std::string ReadFileBytes(const std::wstring& path)
{
    unique_handle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return {};
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read)
        bytes.append(buffer, read);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    unique_handle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && !bytes.empty())
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace
{
std::wstring BuildEnvironmentBlock(const std::vector<std::wstring>& extra)
{
    std::wstring block;
    LPWCH current = ::GetEnvironmentStringsW();
    for (LPWCH p = current; *p; p += wcslen(p) + 1)
    {
        std::wstring entry = p;
        bool overridden = false;
        for (const auto& e : extra)
        {
            const auto eq = e.find(L'=');
            if (eq != std::wstring::npos && entry.size() > eq &&
                _wcsnicmp(entry.c_str(), e.c_str(), eq + 1) == 0)
                overridden = true;
        }
        if (!overridden)
            block.append(entry).push_back(L'\0');
    }
    ::FreeEnvironmentStringsW(current);
    for (const auto& e : extra)
        block.append(e).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}
} // namespace

Process::Process(const std::wstring& program, const LaunchOptions& options)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!options.arguments.empty())
        commandLine += L" " + options.arguments;

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = static_cast<WORD>(options.showCommand);
    PROCESS_INFORMATION pi{};

    std::wstring environment;
    if (!options.environment.empty())
        environment = BuildEnvironmentBlock(options.environment);

    unique_handle output;
    if (!options.outputFile.empty())
    {
        SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
        output.reset(::CreateFileW(options.outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        si.dwFlags |= STARTF_USESTDHANDLES;
        si.hStdOutput = output.get();
    }

    // Wine now and then fails to start a process with ERROR_INTERNAL_ERROR
    // before any of the program runs; that says nothing about the program, so
    // the start is tried again.
    BOOL bStarted = FALSE;
    for (int attempt = 0; attempt < 3 && !bStarted; ++attempt)
    {
        bStarted = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output ? TRUE : FALSE,
                                    CREATE_UNICODE_ENVIRONMENT,
                                    environment.empty() ? nullptr : environment.data(),
                                    options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(),
                                    &si, &pi);
        if (!bStarted && ::GetLastError() != ERROR_INTERNAL_ERROR)
            break;
    }
    if (!bStarted)
    {
        ADD_FAILURE() << "cannot start " << std::string(program.begin(), program.end())
                      << ": error " << ::GetLastError();
        return;
    }
    ::CloseHandle(pi.hThread);
    m_process.reset(pi.hProcess);
    m_pid = pi.dwProcessId;
}

Process::~Process()
{
    if (running())
    {
        ::TerminateProcess(m_process.get(), 0xDEAD);
        ::WaitForSingleObject(m_process.get(), 10000);
    }
}

bool Process::running() const
{
    return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

DWORD Process::Wait(std::chrono::milliseconds timeout)
{
    if (!m_process)
        return STILL_ACTIVE;
    if (::WaitForSingleObject(m_process.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(m_process.get(), &code);
    return code;
}

std::vector<HWND> TopLevelWindowsOf(DWORD pid)
{
    struct Search
    {
        DWORD pid;
        std::vector<HWND> found;
    } search{pid, {}};
    ::EnumWindows(
        [](HWND hWnd, LPARAM lParam) CALLBACK -> BOOL {
            auto* s = reinterpret_cast<Search*>(lParam);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(hWnd, &owner);
            if (owner == s->pid)
                s->found.push_back(hWnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring WindowText(HWND hWnd)
{
    // WM_GETTEXT works across processes; GetWindowText does not for controls.
    const auto length = ::SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const auto copied = ::SendMessageW(hWnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(copied));
    return text;
}

std::wstring ClassNameOf(HWND hWnd)
{
    wchar_t name[256]{};
    ::GetClassNameW(hWnd, name, 256);
    return name;
}

HWND WaitForTopLevelWindow(DWORD pid, const std::wstring& className, const std::wstring& caption,
                           std::chrono::milliseconds timeout)
{
    HWND result = nullptr;
    WaitUntil(
        [&] {
            for (HWND hWnd : TopLevelWindowsOf(pid))
            {
                if (ClassNameOf(hWnd) == className && (caption.empty() || WindowText(hWnd) == caption))
                {
                    result = hWnd;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return result;
}

namespace
{
// The icon and the buttons of a box, read from its child windows.
void ReadBoxLook(MessageBoxInfo& info)
{
    ::EnumChildWindows(
        info.hWnd,
        [](HWND hChild, LPARAM lParam) CALLBACK -> BOOL {
            auto* box = reinterpret_cast<MessageBoxInfo*>(lParam);
            if (!::IsWindowVisible(hChild))
                return TRUE;
            const std::wstring cls = ClassNameOf(hChild);
            if (_wcsicmp(cls.c_str(), L"Static") == 0 &&
                (::GetWindowLongW(hChild, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                ::SendMessageW(hChild, STM_GETICON, 0, 0) != 0)
                box->icon = true;
            else if (_wcsicmp(cls.c_str(), L"Button") == 0)
                box->buttons.push_back(::GetDlgCtrlID(hChild));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&info));
}
} // namespace

MessageBoxInfo WaitForMessageBox(DWORD pid, std::chrono::milliseconds timeout)
{
    MessageBoxInfo info;
    WaitUntil(
        [&] {
            for (HWND hWnd : TopLevelWindowsOf(pid))
            {
                if (ClassNameOf(hWnd) != L"#32770" || !::IsWindowVisible(hWnd))
                    continue;
                HWND text = ::GetDlgItem(hWnd, 0xFFFF);
                HWND ok = ::GetDlgItem(hWnd, IDOK);
                if (!text || !ok)
                    continue;
                info.hWnd = hWnd;
                info.caption = WindowText(hWnd);
                info.text = WindowText(text);
                ReadBoxLook(info);
                return true;
            }
            return false;
        },
        timeout);
    return info;
}

void AnswerMessageBox(const MessageBoxInfo& box)
{
    ASSERT_NE(box.hWnd, nullptr) << "no message box to answer";
    ::PostMessageW(box.hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box.hWnd, IDOK)));
    EXPECT_TRUE(WaitUntil([&] { return !::IsWindow(box.hWnd); })) << "the message box stayed open";
}

std::wstring ComErrorText(HRESULT hr)
{
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0,
        nullptr);
    if (length && buffer)
    {
        std::wstring text(buffer, length);
        ::LocalFree(buffer);
        if (!text.empty() && text.back() == L'\n')
        {
            text.pop_back();
            if (!text.empty() && text.back() == L'\r')
                text.pop_back();
        }
        return text;
    }
    wchar_t fallback[64]{};
    const auto code = static_cast<unsigned long>(hr);
    if (code >= 0x80040200UL && code <= 0x8004FFFFUL)
        std::swprintf(fallback, 64, L"IDispatch error #%d", static_cast<int>(code - 0x80040200UL));
    else
        std::swprintf(fallback, 64, L"Unknown error 0x%0lX", code);
    return fallback;
}

} // namespace qftest
