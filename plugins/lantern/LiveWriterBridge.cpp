// The hand-off of an item to Windows Live Writer.
#include "PluginFrame.h"

namespace qfplugin
{

// Not built yet: until the Live Writer bridge is written, BlogThis ends after
// the item has been extracted, and nothing is handed over.
void HandOffItem(const shared_bstr&, const shared_bstr&, const shared_bstr&)
{
}

} // namespace qfplugin
