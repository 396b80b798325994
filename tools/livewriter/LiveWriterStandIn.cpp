// Stands in for the blog editor's automation server in tests and the demo.
//
// Lantern creates the application object by the editor's class id and calls
// entry 9 of the application interface with (title, link, description). This
// server records what happens to a UTF-8 file named by QF_LIVEWRITER_LOG, one
// event a line:
//   created                      the application object was made
//   create-iid <iid>             the interface it was made for
//   running                      OleRun put it into its running state
//   item                         the item method was called; then
//   title: <text>                  each argument, with \\ \n \r \0 escaped,
//   link: <text>                   or "<name> (null)" for a null string
//   description: <text>
//   result 0x<hresult>           what the item method returned
//   errorinfo-asked <iid>        ISupportErrorInfo was asked about an interface
//   placeholder <n>              an entry other than 9 was called (a fault)
//   released                     the last reference to the object went
//
// The test chooses the behaviour with the environment of the host process.
// Each variable is a comma-separated list: the n-th application object made
// in the process follows the n-th entry, and the last entry holds for the rest.
//   QF_LIVEWRITER_RESULT  S_OK (default), S_FALSE or an HRESULT in hex; a
//                         failure also sets error information for the call
//   QF_LIVEWRITER_MODE    empty: the whole editor; "nointerface": the object
//                         lacks the application interface; "runfails": OleRun
//                         fails with QF_LIVEWRITER_RUN_RESULT (hex, default
//                         0x80040203)
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>

#include <cstdio>
#include <cwchar>
#include <new>
#include <string>

#include "EditorApplication.h"

namespace
{
HMODULE g_hModule = nullptr;
LONG g_nObjects = 0;

std::wstring Environment(const wchar_t* name)
{
    wchar_t value[1024]{};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 1024);
    return length && length < 1024 ? std::wstring(value, length) : std::wstring();
}

// The entry of a comma-separated list for the object with this index.
std::wstring EnvironmentFor(const wchar_t* name, LONG index)
{
    const std::wstring list = Environment(name);
    size_t begin = 0;
    for (LONG i = 0; i < index; ++i)
    {
        const size_t comma = list.find(L',', begin);
        if (comma == std::wstring::npos)
            break;
        begin = comma + 1;
    }
    const size_t end = list.find(L',', begin);
    return list.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
}

HRESULT HresultFromEnvironment(const wchar_t* name, LONG index, HRESULT fallback)
{
    const std::wstring text = EnvironmentFor(name, index);
    if (text.empty())
        return fallback;
    if (text == L"S_OK")
        return S_OK;
    if (text == L"S_FALSE")
        return S_FALSE;
    return static_cast<HRESULT>(std::wcstoul(text.c_str(), nullptr, 16));
}

LONG g_nCreated = 0;

std::string ToUtf8(const wchar_t* text, int length)
{
    if (length <= 0)
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::string Escaped(BSTR text)
{
    std::wstring escaped;
    const UINT length = ::SysStringLen(text);
    for (UINT i = 0; i < length; ++i)
    {
        switch (text[i])
        {
        case L'\\': escaped += L"\\\\"; break;
        case L'\n': escaped += L"\\n"; break;
        case L'\r': escaped += L"\\r"; break;
        case L'\0': escaped += L"\\0"; break;
        default: escaped += text[i];
        }
    }
    return ToUtf8(escaped.c_str(), static_cast<int>(escaped.size()));
}

// Each event is appended and the file closed again, so the record is complete
// whenever the host process ends, however it ends.
void Record(const std::string& line)
{
    const std::wstring path = Environment(L"QF_LIVEWRITER_LOG");
    if (path.empty())
        return;
    HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

void RecordArgument(const char* name, BSTR value)
{
    // Without a record the arguments are not even looked at, so that a
    // measurement of the plugin does not count the stand-in's escaping.
    if (Environment(L"QF_LIVEWRITER_LOG").empty())
        return;
    if (!value)
        Record(std::string(name) + " (null)");
    else
        Record(std::string(name) + ": " + Escaped(value));
}

std::string GuidText(REFGUID guid)
{
    wchar_t text[64]{};
    ::StringFromGUID2(guid, text, 64);
    return ToUtf8(text, static_cast<int>(std::wcslen(text)));
}

std::string HexText(HRESULT hr)
{
    char text[16]{};
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

void SetCallErrorInfo()
{
    ICreateErrorInfo* creator = nullptr;
    if (FAILED(::CreateErrorInfo(&creator)))
        return;
    creator->SetGUID(kIidEditorApplication);
    creator->SetSource(const_cast<LPOLESTR>(L"LiveWriter stand-in"));
    creator->SetDescription(const_cast<LPOLESTR>(L"The stand-in editor was told to refuse the item."));
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(creator->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))))
    {
        ::SetErrorInfo(0, info);
        info->Release();
    }
    creator->Release();
}

class CEditorApplication final : public IEditorApplication, public ISupportErrorInfo, public IRunnableObject
{
public:
    CEditorApplication() : m_nIndex(::InterlockedIncrement(&g_nCreated) - 1)
    {
        ::InterlockedIncrement(&g_nObjects);
        Record("created");
    }
    CEditorApplication(const CEditorApplication&) = delete;
    CEditorApplication& operator=(const CEditorApplication&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown)
            *ppv = static_cast<IEditorApplication*>(this);
        else if (riid == kIidEditorApplication && !ModeIs(L"nointerface"))
            *ppv = static_cast<IEditorApplication*>(this);
        else if (riid == IID_ISupportErrorInfo)
            *ppv = static_cast<ISupportErrorInfo*>(this);
        else if (riid == IID_IRunnableObject)
            *ppv = static_cast<IRunnableObject*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_nRefs)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG refs = ::InterlockedDecrement(&m_nRefs);
        if (refs == 0)
        {
            Record("released");
            ::InterlockedDecrement(&g_nObjects);
            delete this;
        }
        return static_cast<ULONG>(refs);
    }

    // The entries before the item method: a call of one of them is a fault
    // of the caller's declaration, and the record shows it.
    HRESULT STDMETHODCALLTYPE Entry3() override { return Placeholder(3); }
    HRESULT STDMETHODCALLTYPE Entry4() override { return Placeholder(4); }
    HRESULT STDMETHODCALLTYPE Entry5() override { return Placeholder(5); }
    HRESULT STDMETHODCALLTYPE Entry6() override { return Placeholder(6); }
    HRESULT STDMETHODCALLTYPE Entry7() override { return Placeholder(7); }
    HRESULT STDMETHODCALLTYPE Entry8() override { return Placeholder(8); }

    HRESULT STDMETHODCALLTYPE BlogThisItem(BSTR title, BSTR link, BSTR description) override
    {
        Record("item");
        RecordArgument("title", title);
        RecordArgument("link", link);
        RecordArgument("description", description);
        const HRESULT hr = HresultFromEnvironment(L"QF_LIVEWRITER_RESULT", m_nIndex, S_OK);
        Record("result " + HexText(hr));
        if (FAILED(hr))
            SetCallErrorInfo();
        return hr;
    }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override
    {
        Record("errorinfo-asked " + GuidText(riid));
        return riid == kIidEditorApplication ? S_OK : S_FALSE;
    }

    // IRunnableObject: OleRun calls Run.
    HRESULT STDMETHODCALLTYPE GetRunningClass(LPCLSID clsid) override
    {
        *clsid = kClsidEditor;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Run(LPBINDCTX) override
    {
        if (ModeIs(L"runfails"))
        {
            const HRESULT hr = HresultFromEnvironment(L"QF_LIVEWRITER_RUN_RESULT", m_nIndex,
                                                      static_cast<HRESULT>(0x80040203));
            Record("run-refused " + HexText(hr));
            return hr;
        }
        Record("running");
        m_bRunning = true;
        return S_OK;
    }
    BOOL STDMETHODCALLTYPE IsRunning() override { return m_bRunning; }
    HRESULT STDMETHODCALLTYPE LockRunning(BOOL, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetContainedObject(BOOL) override { return S_OK; }

private:
    bool ModeIs(const wchar_t* mode) const { return EnvironmentFor(L"QF_LIVEWRITER_MODE", m_nIndex) == mode; }

    HRESULT Placeholder(int entry)
    {
        Record("placeholder " + std::to_string(entry));
        return E_NOTIMPL;
    }

    const LONG m_nIndex;
    LONG m_nRefs = 1;
    BOOL m_bRunning = FALSE;
};

class CEditorFactory final : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory)
        {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is a static object; its references do not own it.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto* object = new (std::nothrow) CEditorApplication;
        if (!object)
            return E_OUTOFMEMORY;
        Record("create-iid " + GuidText(riid));
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

CEditorFactory g_factory;

LONG SetString(HKEY key, const wchar_t* name, const std::wstring& value)
{
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}
} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        g_hModule = hInstance;
        ::DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != kClsidEditor)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return g_nObjects == 0 ? S_OK : S_FALSE;
}

// Registers under HKLM\Software\Classes: Wine does not merge the current
// user's classes into HKEY_CLASSES_ROOT. Running it again changes nothing.
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    wchar_t path[MAX_PATH]{};
    const DWORD length = ::GetModuleFileNameW(g_hModule, path, MAX_PATH);
    if (!length || length >= MAX_PATH)
        return E_FAIL;
    HKEY server = nullptr;
    const std::wstring serverKey = EditorClassKey() + L"\\InprocServer32";
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, serverKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &server,
                          nullptr) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    const bool ok = SetString(server, nullptr, path) == ERROR_SUCCESS &&
                    SetString(server, L"ThreadingModel", L"Both") == ERROR_SUCCESS;
    ::RegCloseKey(server);
    return ok ? S_OK : SELFREG_E_CLASS;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    const LONG status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, EditorClassKey().c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
