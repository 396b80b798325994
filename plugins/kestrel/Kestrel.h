// What Kestrel's export and its hand-off to w.bloggar share.
#pragma once

namespace qfplugin
{

// The caption of every message box Kestrel shows.
inline constexpr wchar_t kCaption[] = L"w.Bloggar plugin";

} // namespace qfplugin
