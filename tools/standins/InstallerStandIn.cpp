// Stands in for the installer package: served as /dist/QuillfeedSetup.exe,
// it writes down that it ran, from where, with what command line and with
// what show command its starter asked for (installer.txt), and whether a
// library asked for by its plain name, PlantedLibrary.dll, which no system
// folder has, was found (somewhere that someone could plant it: the
// stand-in's own folder or its current directory). With QF_STANDIN_SHOW set
// it also shows a box saying so.
#include "Record.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    const std::wstring strPath = standin::ModulePath();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    std::wstring strPlanted = L"planted library not found";
    if (const HMODULE hPlanted = ::LoadLibraryW(L"PlantedLibrary.dll"))
    {
        wchar_t szPlanted[MAX_PATH]{};
        ::GetModuleFileNameW(hPlanted, szPlanted, MAX_PATH);
        strPlanted = L"planted library loaded from " + std::wstring(szPlanted);
    }
    // One write, so that whoever sees the record sees all of it.
    standin::AppendRecord(L"installer.txt", L"ran " + strPath + L"\ncommand line " + ::GetCommandLineW() + L"\n" +
                                                ((startup.dwFlags & STARTF_USESHOWWINDOW)
                                                     ? L"show " + std::to_wstring(startup.wShowWindow)
                                                     : std::wstring(L"show not given")) +
                                                L"\n" + strPlanted);
    wchar_t szShow[8]{};
    if (::GetEnvironmentVariableW(L"QF_STANDIN_SHOW", szShow, 8))
        ::MessageBoxW(nullptr, (L"The Quillfeed installer stand-in ran from\n" + strPath).c_str(),
                      L"Quillfeed Setup (stand-in)", MB_OK | MB_ICONINFORMATION);
    return 0;
}
