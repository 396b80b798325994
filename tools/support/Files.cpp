#include "Files.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <atomic>

#include "Owners.h"

namespace qfsupport
{

std::wstring ModuleFolder()
{
    wchar_t path[MAX_PATH]{};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    ::PathRemoveFileSpecW(path);
    return path;
}

ScratchDir::ScratchDir(const std::wstring& prefix)
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH]{};
    ::GetTempPathW(MAX_PATH, temp);
    for (;;)
    {
        std::wstring candidate = std::wstring(temp) + prefix + L"-" + std::to_wstring(::GetCurrentProcessId()) +
                                 L"-" + std::to_wstring(counter++);
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
    // Shared for deleting too: a stand-in that has just renamed its record
    // into place may still hold it open with delete access.
    const unique_hfile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
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
    const unique_hfile file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && !bytes.empty())
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace qfsupport
