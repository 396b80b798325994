// The texts and ids Lantern must match exactly: the reader shows its name and
// its boxes, and Live Writer's automation class and application interface are
// known by their ids alone (no ProgID is looked up). The tests take them from
// here; the editor stand-in keeps its own copy of the ids, as a witness.
#pragma once

#include <windows.h>

namespace qfplugin::lantern
{

// The reader shows this name; it stays at one address while the library is loaded.
inline constexpr wchar_t kPluginName[] = L"Quillfeed LiveWriter Plugin 1.0";

// The caption of every box Lantern shows. "Plugin" with a capital P, unlike
// Kestrel's caption: both are as the reader's users have always seen them.
inline constexpr wchar_t kCaption[] = L"LiveWriter Plugin";
// Followed at once by the COM error text, hence the blank at its end.
inline constexpr wchar_t kFailedPrefix[] = L"Failed to use LiveWriter. ";
inline constexpr wchar_t kSomethingFailed[] = L"Something failed in LiveWriter plugin...";

// {8F085BC0-363D-4219-95BA-DC8A5E06D295}
inline constexpr CLSID kClsidApplication = {
    0x8F085BC0, 0x363D, 0x4219, {0x95, 0xBA, 0xDC, 0x8A, 0x5E, 0x06, 0xD2, 0x95}};
// {D7E5B1EC-FEEA-476C-9CE1-BC5C3E2DB662}
inline constexpr IID kIidApplication = {0xD7E5B1EC, 0xFEEA, 0x476C, {0x9C, 0xE1, 0xBC, 0x5C, 0x3E, 0x2D, 0xB6, 0x62}};

} // namespace qfplugin::lantern
