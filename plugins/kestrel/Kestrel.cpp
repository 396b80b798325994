// The Kestrel plugin: blogs a feed item with w.bloggar.
#include "PluginFrame.h"

#include "Kestrel.h"

using namespace qfplugin::kestrel;

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
        qfplugin::ShowMessage(kSomethingFailed, kCaption);
    }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
