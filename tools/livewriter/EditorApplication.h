// The blog editor's automation class and application interface, as the
// editor declares them: the item method is entry 9; the six entries before it
// are not used by the plugin. Shared by the editor stand-in and the bridge
// benchmark; the plugin keeps a declaration of its own, so the stand-in is an
// independent check of the table's layout and of the ids.
#pragma once

#include <objbase.h>

#include <string>

struct IEditorApplication : IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Entry3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Entry4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Entry5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Entry6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Entry7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Entry8() = 0;
    virtual HRESULT STDMETHODCALLTYPE BlogThisItem(BSTR title, BSTR link, BSTR description) = 0;
};

inline const CLSID kClsidEditor = {0x8F085BC0, 0x363D, 0x4219, {0x95, 0xBA, 0xDC, 0x8A, 0x5E, 0x06, 0xD2, 0x95}};
inline const IID kIidEditorApplication = {
    0xD7E5B1EC, 0xFEEA, 0x476C, {0x9C, 0xE1, 0xBC, 0x5C, 0x3E, 0x2D, 0xB6, 0x62}};

// "{8F085BC0-...}", as the registry and COM write an id.
inline std::wstring IdText(REFGUID id)
{
    wchar_t text[40]{};
    ::StringFromGUID2(id, text, 40);
    return text;
}

// The class's key under HKEY_LOCAL_MACHINE.
inline std::wstring EditorClassKey()
{
    return L"Software\\Classes\\CLSID\\" + IdText(kClsidEditor);
}
