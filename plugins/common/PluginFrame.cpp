#include "PluginFrame.h"

#include "ItemExtraction.h"

namespace qfplugin
{

void BlogItem(const wchar_t* itemText)
{
    const ExtractedItem item = ExtractItem(itemText);
    HandOffItem(item);
}

void ShowMessage(const wchar_t* text, const wchar_t* caption) noexcept
{
    ::MessageBoxW(nullptr, text, caption, MB_ICONINFORMATION);
}

} // namespace qfplugin
