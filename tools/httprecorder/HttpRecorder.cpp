// Stands in for the web browser: registered in the test Wine prefix as the
// program that opens http addresses, it appends each address it is given,
// one a line in UTF-8, to the file named by QF_HTTP_RECORD (or to
// %TEMP%\QuillfeedHttpOpened.txt when that is not set) and ends.
//   HttpRecorder.exe <address>
#include <windows.h>

#include <string>

namespace
{
std::wstring RecordPath()
{
    wchar_t path[MAX_PATH]{};
    const DWORD cch = ::GetEnvironmentVariableW(L"QF_HTTP_RECORD", path, MAX_PATH);
    if (cch > 0 && cch < MAX_PATH)
        return path;
    const DWORD cchTemp = ::GetTempPathW(MAX_PATH, path);
    if (cchTemp == 0 || cchTemp >= MAX_PATH)
        return L"QuillfeedHttpOpened.txt";
    return std::wstring(path) + L"QuillfeedHttpOpened.txt";
}

std::string ToUtf8(const std::wstring& text)
{
    const int cb = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string bytes(static_cast<size_t>(cb > 0 ? cb : 0), '\0');
    if (cb > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], cb, nullptr,
                              nullptr);
    return bytes;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 64;
    const std::string line = ToUtf8(argv[1]) + "\n";
    // Appends are whole lines, so two openings never interleave.
    HANDLE file = ::CreateFileW(RecordPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
    return ok && written == line.size() ? 0 : 1;
}
