#include "ComSupport.h"

#include <ole2.h>

#include <cwchar>
#include <new>

#include "Owners.h"

namespace qfplugin
{

namespace
{
constexpr HRESULT kFirstDispatchError = static_cast<HRESULT>(0x80040200);
constexpr HRESULT kLastDispatchError = static_cast<HRESULT>(0x8004FFFF);
} // namespace

void AtlThrow(HRESULT hr)
{
    throw CAtlException(hr);
}

bool SystemMessageText(HRESULT hr, std::wstring& text)
{
    // FormatMessageW allocates the text for its caller to free (a text left
    // unfreed would show in no test: nothing here counts local allocations).
    unique_hlocal_string buffer;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(buffer.addressof()), 0, nullptr);
    if (length == 0 || !buffer.get())
        return false;
    text.assign(buffer.get(), length);
    return true;
}

std::wstring ComErrorText(HRESULT hr, MessageLookup lookup)
{
    std::wstring text;
    if (lookup(hr, text))
    {
        // Message table texts end in CR LF; a box shows them without the line end.
        if (!text.empty() && text.back() == L'\n')
        {
            text.pop_back();
            if (!text.empty() && text.back() == L'\r')
                text.pop_back();
        }
        return text;
    }
    wchar_t buffer[64]{};
    if (hr >= kFirstDispatchError && hr <= kLastDispatchError)
        std::swprintf(buffer, 64, L"IDispatch error #%d", static_cast<int>(hr - kFirstDispatchError));
    else
        std::swprintf(buffer, 64, L"Unknown error 0x%0lX", static_cast<unsigned long>(hr));
    return buffer;
}

_com_error::_com_error(HRESULT hr, IErrorInfo* errorInfo) noexcept : m_hr(hr), m_spErrorInfo(errorInfo)
{
}

// The text is not copied: copying may not fail, and the copy makes its own.
_com_error::_com_error(const _com_error& other) noexcept : m_hr(other.m_hr), m_spErrorInfo(other.m_spErrorInfo)
{
}

_com_error& _com_error::operator=(const _com_error& other) noexcept
{
    if (this != &other)
    {
        m_hr = other.m_hr;
        m_spErrorInfo = other.m_spErrorInfo;
        m_strMessage.clear();
        m_bMessageMade = false;
    }
    return *this;
}

const wchar_t* _com_error::ErrorMessage() const
{
    if (!m_bMessageMade)
    {
        m_strMessage = ComErrorText(m_hr);
        m_bMessageMade = true;
    }
    return m_strMessage.c_str();
}

void IssueError(HRESULT hr)
{
    throw _com_error(hr);
}

void IssueError(HRESULT hr, IUnknown* object, REFIID iid)
{
    com_ptr<IErrorInfo> errorInfo;
    com_ptr<ISupportErrorInfo> support;
    if (object && SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, support.put_void())) && support &&
        support->InterfaceSupportsErrorInfo(iid) == S_OK)
    {
        // S_FALSE leaves the pointer null: there is no error object then.
        if (::GetErrorInfo(0, errorInfo.put()) != S_OK)
            errorInfo.reset();
    }
    throw _com_error(hr, errorInfo.release());
}

void CreateObject(REFCLSID clsid, REFIID iid, void** object)
{
    *object = nullptr;
    com_ptr<IUnknown> unknown;
    // The local-server bit in the context means the object must be run before
    // it is asked for the interface.
    HRESULT hr = ::CoCreateInstance(clsid, nullptr,
                                    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                    unknown.put_void());
    if (SUCCEEDED(hr))
        hr = ::OleRun(unknown.get());
    if (SUCCEEDED(hr))
        hr = unknown.get()->QueryInterface(iid, object);
    if (FAILED(hr))
    {
        *object = nullptr;
        if (hr != E_NOINTERFACE)
            IssueError(hr);
    }
}

void CreateObject(const wchar_t* progId, REFIID iid, void** object)
{
    *object = nullptr;
    CLSID clsid{};
    const HRESULT hr = ::CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr))
        IssueError(hr);
    CreateObject(clsid, iid, object);
}

shared_bstr::shared_bstr(const wchar_t* text)
{
    if (!text)
        return;
    m_pData = new Data{nullptr, 1};
    m_pData->m_bstr = ::SysAllocString(text);
    if (!m_pData->m_bstr)
    {
        delete m_pData;
        m_pData = nullptr;
        IssueError(E_OUTOFMEMORY);
    }
}

shared_bstr shared_bstr::attach(BSTR owned)
{
    shared_bstr holder;
    if (!owned)
        return holder;
    holder.m_pData = new (std::nothrow) Data{owned, 1};
    if (!holder.m_pData)
    {
        ::SysFreeString(owned);
        throw std::bad_alloc();
    }
    return holder;
}

shared_bstr::shared_bstr(const shared_bstr& other) noexcept : m_pData(other.m_pData)
{
    if (m_pData)
        ::InterlockedIncrement(&m_pData->m_nRefs);
}

shared_bstr::~shared_bstr()
{
    if (m_pData && ::InterlockedDecrement(&m_pData->m_nRefs) == 0)
    {
        ::SysFreeString(m_pData->m_bstr);
        delete m_pData;
    }
}

const wchar_t* shared_bstr::c_str() const noexcept
{
    const BSTR bstr = get();
    return bstr ? bstr : L"";
}

} // namespace qfplugin
