// The Lantern plugin: blogs a feed item with Windows Live Writer.
#include "PluginFrame.h"

#include <string>

namespace
{
// The reader shows this name; it stays at one address while the library is loaded.
const wchar_t kPluginName[] = L"Quillfeed LiveWriter Plugin 1.0";
const wchar_t kCaption[] = L"LiveWriter Plugin";
const wchar_t kSomethingFailed[] = L"Something failed in LiveWriter plugin...";

void OnComError(const qfplugin::_com_error& error) noexcept
{
    try
    {
        std::wstring text = L"Failed to use LiveWriter. ";
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
