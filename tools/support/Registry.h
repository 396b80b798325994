// A registry value changed for one scope: the tests and the demo change the
// prefix's settings (link colours, the display's DPI) and must leave them as
// they found them for whatever runs next in the same prefix.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "Owners.h"

namespace qfsupport
{

// Sets the value (a text stored as the type given, whatever that type is; or,
// given no text, removes it), creating the key when needed, and puts the
// earlier value back, or removes it again when there was none, when the
// object goes.
class ScopedRegistryValue
{
public:
    ScopedRegistryValue(HKEY hRoot, const wchar_t* key, const wchar_t* name, const wchar_t* text,
                        DWORD type = REG_SZ);
    ScopedRegistryValue(HKEY hRoot, const wchar_t* key, const wchar_t* name, DWORD value);
    ~ScopedRegistryValue();
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

    // False when the key could not be opened or the value not written.
    bool applied() const { return m_bApplied; }

private:
    bool Open(HKEY hRoot, const wchar_t* key);
    void Set(DWORD type, const void* data, DWORD cb);

    unique_hkey m_hKey;
    std::wstring m_name;
    std::optional<std::vector<BYTE>> m_old;
    DWORD m_oldType = 0;
    bool m_bApplied = false;
};

} // namespace qfsupport
