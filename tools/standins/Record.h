// Where the stand-ins write down what happened to them: a file in the folder
// named by QF_STANDIN_RECORD, inherited from whoever started the chain (the
// test or the demo starts the updater, the updater starts the package).
#pragma once

#include <windows.h>

#include <string>

namespace standin
{

inline std::wstring RecordFolder()
{
    wchar_t szDir[MAX_PATH]{};
    const DWORD n = ::GetEnvironmentVariableW(L"QF_STANDIN_RECORD", szDir, MAX_PATH);
    return n && n < MAX_PATH ? szDir : L"";
}

// Appends one line, UTF-8, to the record file `name`; nothing when no record
// folder is set.
inline void AppendRecord(const wchar_t* name, const std::wstring& line)
{
    const std::wstring dir = RecordFolder();
    if (dir.empty())
        return;
    const std::wstring path = dir + L"\\" + name;
    HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    const std::wstring text = line + L"\n";
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    DWORD written = 0;
    ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(h);
}

inline std::wstring ModulePath()
{
    wchar_t szPath[MAX_PATH]{};
    ::GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    return szPath;
}

} // namespace standin
