// The Lantern plugin: blogs a feed item with Windows Live Writer.
#include "PluginFrame.h"

#include "Lantern.h"

#include <string>

using namespace qfplugin::lantern;

namespace
{
void OnComError(const qfplugin::_com_error& error) noexcept
{
    try
    {
        std::wstring text = kFailedPrefix;
        text += error.ErrorMessage();
        qfplugin::ShowMessage(text.c_str(), kCaption);
    }
    catch (...)
    {
        // The text could not be made (memory ran out): say what we can.
        qfplugin::ShowMessage(kSomethingFailed, kCaption);
    }
}
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
    catch (const qfplugin::_com_error& error)
    {
        OnComError(error);
    }
    catch (...)
    {
        qfplugin::ShowMessage(kSomethingFailed, kCaption);
    }
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
