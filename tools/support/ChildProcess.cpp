#include "ChildProcess.h"

#include "Files.h"
#include "Text.h"
#include "WindowSearch.h"

#include <cstdio>
#include <cwchar>
#include <thread>

namespace qfsupport
{

namespace
{
// The caller's environment with the extra "NAME=value" entries in place of
// those of the same name.
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
            if (eq != std::wstring::npos && entry.size() > eq && _wcsnicmp(entry.c_str(), e.c_str(), eq + 1) == 0)
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

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds poll)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(poll);
    }
}

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

    unique_hfile output;
    if (!options.outputFile.empty())
    {
        SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
        output.reset(::CreateFileW(options.outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        si.dwFlags |= STARTF_USESTDHANDLES;
        si.hStdOutput = output.get();
    }

    BOOL bStarted = FALSE;
    for (int attempt = 0; attempt < 3 && !bStarted; ++attempt)
    {
        bStarted = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output ? TRUE : FALSE,
                                    CREATE_UNICODE_ENVIRONMENT, environment.empty() ? nullptr : environment.data(),
                                    options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(),
                                    &si, &pi);
        if (!bStarted && ::GetLastError() != ERROR_INTERNAL_ERROR)
            break;
    }
    if (!bStarted)
    {
        m_nStartError = ::GetLastError();
        return;
    }
    ::CloseHandle(pi.hThread);
    m_process.reset(pi.hProcess);
    m_pid = pi.dwProcessId;
    m_name = program.substr(program.find_last_of(L"\\/") + 1);
    m_outputFile = options.outputFile;
    m_witness.emplace([this] { return Describe(); });
}

Process::~Process()
{
    m_witness.reset();
    if (running())
    {
        ::TerminateProcess(m_process.get(), 0xDEAD);
        ::WaitForSingleObject(m_process.get(), static_cast<DWORD>(kEventTimeout.count()));
    }
}

bool Process::running() const
{
    return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

std::string Process::Describe() const
{
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(m_process.get(), &code);
    char state[64];
    if (running())
        std::snprintf(state, sizeof(state), "still running");
    else
        std::snprintf(state, sizeof(state), "ended with exit code %lu (%#lx)", static_cast<unsigned long>(code),
                      static_cast<unsigned long>(code));
    std::string text = "  " + Utf8(m_name) + " (process " + std::to_string(m_pid) + "): " + state + "\n" +
                       DescribeWindowsOf(m_pid);
    if (m_outputFile.empty())
        return text;
    // What a program that the test does not read aloud said last (a plugin
    // host's "BlogThis returned" and the dialogs it saw made and gone).
    constexpr size_t kOutputShown = 2048;
    std::string output = ReadFileBytes(m_outputFile);
    if (output.size() > kOutputShown)
        output = "..." + output.substr(output.size() - kOutputShown);
    text += "    its output" + std::string(output.empty() ? " is empty\n" : ":\n");
    for (size_t pos = 0; pos < output.size();)
    {
        const size_t end = output.find('\n', pos);
        text += "      " + output.substr(pos, end == std::string::npos ? std::string::npos : end - pos) + "\n";
        pos = end == std::string::npos ? output.size() : end + 1;
    }
    return text;
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

} // namespace qfsupport
