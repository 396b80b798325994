// The hand-off of an item to w.bloggar.
#include "PluginFrame.h"

namespace qfplugin
{

// Not built yet: until the w.bloggar bridge is written, BlogThis ends after
// the item has been extracted, and nothing is handed over.
void HandOffItem(const shared_bstr&, const shared_bstr&, const shared_bstr&)
{
}

} // namespace qfplugin
