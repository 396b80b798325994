// The texts Kestrel must match exactly: the reader shows its name and its
// boxes, and w.bloggar is found by its own registry key, value and program
// name. The tests take them from here; the benchmark spells the editor's
// settings itself, as the editor does.
#pragma once

namespace qfplugin::kestrel
{

// The reader shows this name; it stays at one address while the library is loaded.
inline constexpr wchar_t kPluginName[] = L"Quillfeed w.Bloggar Plugin 1.0";

// The caption of every box Kestrel shows. "plugin" with a small p, unlike
// Lantern's caption: both are as the reader's users have always seen them.
inline constexpr wchar_t kCaption[] = L"w.Bloggar plugin";
inline constexpr wchar_t kSomethingFailed[] = L"Something failed in w.Bloggar plugin...";
inline constexpr wchar_t kCannotFind[] = L"Cannot find w.Bloggar...";

// Where w.bloggar keeps its install folder: a value of the key itself, under
// HKEY_CURRENT_USER.
inline constexpr wchar_t kSettingsKey[] = L"Software\\VB and VBA Program Settings\\Bloggar";
inline constexpr wchar_t kInstallPathValue[] = L"InstallPath";
// The editor's program in that folder: "wbloggar", without the dot that the
// boxes write in "w.Bloggar".
inline constexpr wchar_t kEditorProgram[] = L"wbloggar.exe";

} // namespace qfplugin::kestrel
