// The plugins' own COM support: a shared BSTR holder, an owning interface
// holder, the two exception types of a BlogThis call, the rules by which COM
// objects are created and their calls checked, and the text shown for a
// failing HRESULT.
//
// Every failure here is raised as an exception; BlogThis catches them all.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace qfplugin
{

// An HRESULT raised by the string class (out of memory, a bad format).
class CAtlException
{
public:
    explicit CAtlException(HRESULT hr) noexcept : m_hr(hr) {}
    operator HRESULT() const noexcept { return m_hr; }

    HRESULT m_hr;
};

[[noreturn]] void AtlThrow(HRESULT hr);

// The system's text for an HRESULT, as FormatMessageW gives it; false when
// the system has none. Replaceable so that the text rules can be tested
// against a known message table (Wine's differs from Windows').
using MessageLookup = bool (*)(HRESULT hr, std::wstring& text);
bool SystemMessageText(HRESULT hr, std::wstring& text);

// The text shown for a failing HRESULT: the system text without its line end,
// else "IDispatch error #n" for the dispatch range, else "Unknown error 0x...".
std::wstring ComErrorText(HRESULT hr, MessageLookup lookup = SystemMessageText);

// Raises a failing HRESULT, without error information, as a _com_error.
[[noreturn]] void IssueError(HRESULT hr);

// Owns one interface pointer, or none. A call through an empty holder raises
// E_POINTER instead of crashing.
template <class T>
class com_ptr
{
public:
    com_ptr() noexcept = default;
    // Takes over the reference.
    explicit com_ptr(T* p) noexcept : m_p(p) {}
    com_ptr(const com_ptr& other) noexcept : m_p(other.m_p)
    {
        if (m_p)
            m_p->AddRef();
    }
    com_ptr(com_ptr&& other) noexcept : m_p(other.release()) {}
    com_ptr& operator=(com_ptr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~com_ptr() { reset(); }

    T* get() const noexcept { return m_p; }
    T* release() noexcept { return std::exchange(m_p, nullptr); }
    void reset(T* p = nullptr) noexcept
    {
        T* old = std::exchange(m_p, p);
        if (old)
            old->Release();
    }
    // Empties the holder and gives the address for an out parameter.
    T** put() noexcept
    {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    T* operator->() const
    {
        if (!m_p)
            IssueError(E_POINTER);
        return m_p;
    }

private:
    T* m_p = nullptr;
};

// A failing COM result, with the error object of the failing call where one
// was obtained.
class _com_error
{
public:
    // Takes over the reference to errorInfo.
    explicit _com_error(HRESULT hr, IErrorInfo* errorInfo = nullptr) noexcept;
    _com_error(const _com_error& other) noexcept;
    _com_error& operator=(const _com_error& other) noexcept;

    HRESULT Error() const noexcept { return m_hr; }
    // Borrowed: valid while this object lives. Null when none was obtained.
    IErrorInfo* ErrorInfo() const noexcept { return m_spErrorInfo.get(); }
    // Made on first use from the HRESULT alone and kept with this object.
    const wchar_t* ErrorMessage() const;

private:
    HRESULT m_hr;
    // Shared by copies of the error.
    com_ptr<IErrorInfo> m_spErrorInfo;
    mutable std::wstring m_strMessage;
    mutable bool m_bMessageMade = false;
};

// Raises a failing method result; the object's error information goes with it
// when the object says it has some for the interface whose method failed.
[[noreturn]] void IssueError(HRESULT hr, IUnknown* object, REFIID iid);

// Success is any non-negative HRESULT (S_FALSE included).
inline void CheckResult(HRESULT hr, IUnknown* object, REFIID iid)
{
    if (FAILED(hr))
        IssueError(hr, object, iid);
}

// Creates an object with class context 7 through IUnknown, puts it into its
// running state and asks it for iid. On failure *object stays null and every
// failing HRESULT but E_NOINTERFACE is raised; E_NOINTERFACE is left to the
// E_POINTER of the holder's first use.
void CreateObject(REFCLSID clsid, REFIID iid, void** object);
void CreateObject(const wchar_t* progId, REFIID iid, void** object);

template <class T, class ClassId>
void CreateInstance(com_ptr<T>& holder, const ClassId& classId, REFIID iid)
{
    CreateObject(classId, iid, holder.put_void());
}

// One COM string shared by reference count; the last holder frees it. A null
// BSTR counts as the empty string.
class shared_bstr
{
public:
    shared_bstr() noexcept = default;
    // Copies text up to its first zero; null text gives a null BSTR.
    // Raises E_OUTOFMEMORY if the BSTR cannot be made, bad_alloc if the holder cannot.
    explicit shared_bstr(const wchar_t* text);
    // Takes over a BSTR that a call returned; frees it if the holder cannot be made.
    static shared_bstr attach(BSTR owned);

    shared_bstr(const shared_bstr& other) noexcept;
    shared_bstr(shared_bstr&& other) noexcept : m_pData(std::exchange(other.m_pData, nullptr)) {}
    shared_bstr& operator=(shared_bstr other) noexcept
    {
        std::swap(m_pData, other.m_pData);
        return *this;
    }
    ~shared_bstr();

    // The string itself, for an input argument of a COM call; may be null.
    BSTR get() const noexcept { return m_pData ? m_pData->m_bstr : nullptr; }
    // Never null.
    const wchar_t* c_str() const noexcept;
    UINT length() const noexcept { return ::SysStringLen(get()); }
    bool empty() const noexcept { return length() == 0; }
    // How many holders share the string (0 for a holder of nothing).
    long use_count() const noexcept { return m_pData ? m_pData->m_nRefs : 0; }

private:
    struct Data
    {
        BSTR m_bstr;
        LONG m_nRefs;
    };
    Data* m_pData = nullptr;
};

} // namespace qfplugin
