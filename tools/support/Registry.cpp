#include "Registry.h"

#include <cwchar>

namespace qfsupport
{

ScopedRegistryValue::ScopedRegistryValue(HKEY hRoot, const wchar_t* key, const wchar_t* name, const wchar_t* text,
                                         DWORD type)
    : m_name(name)
{
    if (!Open(hRoot, key))
        return;
    if (!text)
        m_bApplied = ::RegDeleteValueW(m_hKey.get(), name) == ERROR_SUCCESS || !m_old;
    else
        Set(type, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

ScopedRegistryValue::ScopedRegistryValue(HKEY hRoot, const wchar_t* key, const wchar_t* name, DWORD value)
    : m_name(name)
{
    if (Open(hRoot, key))
        Set(REG_DWORD, &value, sizeof(value));
}

ScopedRegistryValue::~ScopedRegistryValue()
{
    if (!m_hKey)
        return;
    if (m_old)
        ::RegSetValueExW(m_hKey.get(), m_name.c_str(), 0, m_oldType, m_old->data(),
                         static_cast<DWORD>(m_old->size()));
    else
        ::RegDeleteValueW(m_hKey.get(), m_name.c_str());
}

bool ScopedRegistryValue::Open(HKEY hRoot, const wchar_t* key)
{
    if (::RegCreateKeyExW(hRoot, key, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, m_hKey.addressof(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    DWORD cb = 0;
    if (::RegQueryValueExW(m_hKey.get(), m_name.c_str(), nullptr, &m_oldType, nullptr, &cb) == ERROR_SUCCESS)
    {
        m_old.emplace(cb);
        ::RegQueryValueExW(m_hKey.get(), m_name.c_str(), nullptr, &m_oldType, m_old->data(), &cb);
    }
    return true;
}

void ScopedRegistryValue::Set(DWORD type, const void* data, DWORD cb)
{
    m_bApplied = ::RegSetValueExW(m_hKey.get(), m_name.c_str(), 0, type, static_cast<const BYTE*>(data), cb) ==
                 ERROR_SUCCESS;
}

} // namespace qfsupport
