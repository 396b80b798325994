// Stands in for whatever opens ".zip" files: writes down the file it was asked
// to open (zip.txt).
//   ZipRecorder.exe /register   associates ".zip" with this program, in
//                               HKLM\Software\Classes (Wine does not merge the
//                               user's classes into HKEY_CLASSES_ROOT); meant
//                               for the test Wine prefix only.
//   ZipRecorder.exe <file>      records the file.
#include "Record.h"

#include <shellapi.h>

namespace
{
bool SetDefaultValue(const wchar_t* pszKey, const std::wstring& strValue)
{
    HKEY hKey = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const LONG nResult = ::RegSetValueExW(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(strValue.c_str()),
                                          static_cast<DWORD>((strValue.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(hKey);
    return nResult == ERROR_SUCCESS;
}
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (!argv || argc < 2)
        return 64;
    const std::wstring strArg = argv[1];
    ::LocalFree(argv);

    if (strArg == L"/register")
    {
        const bool bOk = SetDefaultValue(L"Software\\Classes\\.zip", L"QuillfeedTest.ZipPackage") &&
                         SetDefaultValue(L"Software\\Classes\\QuillfeedTest.ZipPackage",
                                         L"Zipped package (test recorder)") &&
                         SetDefaultValue(L"Software\\Classes\\QuillfeedTest.ZipPackage\\shell\\open\\command",
                                         L"\"" + standin::ModulePath() + L"\" \"%1\"");
        return bOk ? 0 : 1;
    }
    standin::AppendRecord(L"zip.txt", L"opened " + strArg);
    return 0;
}
