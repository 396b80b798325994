// Stands in for the w.bloggar editor in tests and the demo. Kestrel starts it
// as "<install folder>\wbloggar.exe" "<quotation file>"; it records what it was
// given and ends at once.
//
// The record goes to wbloggar-<process id>.rec in the folder named by
// QF_WBLOGGAR_RECORDS (else the folder of this program), written under another
// name first and then renamed, so a record that exists is complete:
//   cmdline: <the whole command line>\n      (UTF-8, \\ \n \r escaped)
//   file: <the first argument>\n
//   bytes: <count>\n  or  bytes: missing\n
//   <the file's bytes, exactly>
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "Files.h"
#include "Text.h"

namespace
{
std::string Escaped(const std::wstring& text)
{
    std::wstring escaped;
    for (wchar_t c : text)
    {
        switch (c)
        {
        case L'\\': escaped += L"\\\\"; break;
        case L'\n': escaped += L"\\n"; break;
        case L'\r': escaped += L"\\r"; break;
        default: escaped += c;
        }
    }
    return qfsupport::Utf8(escaped);
}

std::wstring RecordFolder()
{
    wchar_t folder[MAX_PATH]{};
    const DWORD length = ::GetEnvironmentVariableW(L"QF_WBLOGGAR_RECORDS", folder, MAX_PATH);
    if (length && length < MAX_PATH)
        return folder;
    const DWORD moduleLength = ::GetModuleFileNameW(nullptr, folder, MAX_PATH);
    std::wstring path(folder, moduleLength);
    return path.substr(0, path.find_last_of(L'\\'));
}
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const std::wstring commandLine = ::GetCommandLineW();
    int count = 0;
    LPWSTR* arguments = ::CommandLineToArgvW(commandLine.c_str(), &count);
    const std::wstring argument = arguments && count > 1 ? arguments[1] : L"";
    ::LocalFree(arguments);

    std::string record = "cmdline: " + Escaped(commandLine) + "\nfile: " + Escaped(argument) + "\n";
    std::string bytes;
    if (!argument.empty() && qfsupport::FileExists(argument))
    {
        bytes = qfsupport::ReadFileBytes(argument);
        record += "bytes: " + std::to_string(bytes.size()) + "\n" + bytes;
    }
    else
        record += "bytes: missing\n";

    const std::wstring name = RecordFolder() + L"\\wbloggar-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring partial = name + L".part";
    HANDLE file = ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    ::CloseHandle(file);
    if (!ok || !::MoveFileExW(partial.c_str(), (name + L".rec").c_str(), MOVEFILE_REPLACE_EXISTING))
        return 1;
    return 0;
}
