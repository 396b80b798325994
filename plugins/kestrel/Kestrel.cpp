// The Kestrel plugin: blogs a feed item with w.bloggar.
#include "PluginFrame.h"

#include "Kestrel.h"

namespace
{
// The reader shows this name; it stays at one address while the library is loaded.
const wchar_t kPluginName[] = L"Quillfeed w.Bloggar Plugin 1.0";
const wchar_t kSomethingFailed[] = L"Something failed in w.Bloggar plugin...";
} // namespace

extern "C" const wchar_t* GetQuillfeedPluginName()
{
    return kPluginName;
}

// The reader passes a second value that no plugin reads.
extern "C" void WINAPI BlogThis(const wchar_t* itemText, LONG_PTR)
{
    try
    {
        qfplugin::BlogItem(itemText);
    }
    catch (...)
    {
        // COM failures included: Kestrel tells them all the same way.
        qfplugin::ShowMessage(kSomethingFailed, qfplugin::kCaption);
    }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
