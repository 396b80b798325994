// Where the stand-ins write down what happened to them: a file in the folder
// named by QF_STANDIN_RECORD, inherited from whoever started the chain (the
// test or the demo starts the updater, the updater starts the package).
#pragma once

#include <windows.h>

#include <string>

#include "Owners.h"
#include "Text.h"

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
    const unique_hfile file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    const std::string bytes = qfsupport::Utf8(line + L"\n");
    DWORD written = 0;
    ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

inline std::wstring ModulePath()
{
    wchar_t szPath[MAX_PATH]{};
    ::GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    return szPath;
}

} // namespace standin
