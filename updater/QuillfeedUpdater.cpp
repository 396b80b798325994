// Entry point and the loop function of the update program.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "MainDlg.h"

namespace
{
// The DLLs that this program (and the system DLLs it uses) loads by name
// after its start come from the system folder only: not from the program's
// own folder, which is often the user's Downloads folder where anything may
// lie, nor from the current directory. Windows 7 without its loader update
// lacks SetDefaultDllDirectories; there, taking the current directory out is
// what can be done. (Wine loads its own system DLLs whatever the search
// says, so no test here can plant one that the program would load.)
void RestrictDllSearch()
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    if (const HMODULE hKernel = ::GetModuleHandleW(L"kernel32.dll"))
    {
        const auto pfnSetDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void*>(::GetProcAddress(hKernel, "SetDefaultDllDirectories")));
        if (pfnSetDefault)
            pfnSetDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    ::SetDllDirectoryW(L"");
}

int RunUpdater(LPWSTR /*lpCmdLine*/, int nCmdShow)
{
    CMessageLoop theLoop;
    g_appModule.AddMessageLoop(&theLoop);

    int nRet = 0;
    {
        CMainDlg dlgMain;
        if (dlgMain.Create(nullptr))
        {
            dlgMain.ShowWindow(nCmdShow);
            nRet = theLoop.Run();
            // A worker that did not answer the stop within its wait (a stalled
            // transfer) still uses the dialog's download job. End the process
            // here, before anything that worker uses is destroyed.
            if (dlgMain.IsWorkerRunning())
                ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(nRet));
        }
        g_appModule.RemoveMessageLoop();
    }
    return nRet;
}
} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int nCmdShow)
{
    RestrictDllSearch();

    // Only a successful initialisation is balanced by an uninitialisation.
    const HRESULT hrCom = ::CoInitialize(nullptr);

    INITCOMMONCONTROLSEX iccx{};
    iccx.dwSize = sizeof(iccx);
    iccx.dwICC = ICC_BAR_CLASSES;
    ::InitCommonControlsEx(&iccx);

    g_appModule.Init(hInstance);
    int nRet = 0;
    try
    {
        nRet = RunUpdater(lpCmdLine, nCmdShow);
    }
    catch (...)
    {
        // Out of memory before the loop could run: the program ends as when
        // its dialog cannot be created.
        nRet = 0;
    }
    g_appModule.Term();

    if (SUCCEEDED(hrCom))
        ::CoUninitialize();
    return nRet;
}
