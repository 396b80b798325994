// Calls a plugin's exports the way the feed reader does, and measures what
// the call did to the stack pointer. The reader calls BlogThis as stdcall: the
// export must remove its 8 bytes of arguments itself. One that does not (a
// missing WINAPI) leaves the caller's stack 8 bytes off, which a host may
// survive without any visible fault; only the stack pointer tells.
#pragma once

#include <windows.h>

#include <cstdint>

namespace qfsupport
{

using BlogThisFn = void(WINAPI*)(const wchar_t* itemText, LONG_PTR reserved);
using GetPluginNameFn = const wchar_t*(WINAPI*)();

// Each returns how far the call moved the stack pointer, in bytes: 0 when the
// export removed exactly its own arguments. Always 0 on x64, which has one
// calling convention and a caller-owned argument area.
std::intptr_t CallBlogThis(BlogThisFn pfn, const wchar_t* itemText, LONG_PTR reserved);
std::intptr_t CallGetPluginName(GetPluginNameFn pfn, const wchar_t*& pszName);

} // namespace qfsupport
