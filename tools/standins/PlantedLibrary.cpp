// A library that nobody ships, for the installer stand-in to ask for by its
// plain name: found only where someone planted it, so whether it loads shows
// where the stand-in's DLL search looked.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
