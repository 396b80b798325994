// What both plugin libraries do in BlogThis, and the one step each library
// supplies: handing the extracted item to its blog editor.
#pragma once

#include "FeedItem.h"

namespace qfplugin
{

// The library's hand-off of one item; each library defines it. The item
// lives until BlogThis returns, so the hand-off may share its texts.
void HandOffItem(const FeedItem& item);

// Extracts the item and hands it off; every failure is raised to the caller,
// BlogThis, which is the one place that catches them.
void BlogItem(const wchar_t* itemText);

// An information box without an owner, so no window of the reader is disabled.
void ShowMessage(const wchar_t* text, const wchar_t* caption) noexcept;

} // namespace qfplugin
