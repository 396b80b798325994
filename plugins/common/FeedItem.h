// The three texts of a feed item, as the extraction read them and as both
// hand-offs take them: by name, so that no call passes one in another's place.
#pragma once

#include "ComSupport.h"

namespace qfplugin
{

// Each text exactly as MSXML gave it. The strings are shared, not copied: a
// hand-off passes the very strings the extraction produced.
struct FeedItem
{
    shared_bstr m_strTitle;
    shared_bstr m_strDescription;
    shared_bstr m_strLink;
};

} // namespace qfplugin
