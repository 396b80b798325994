// Owners of the handles and system resources that the update program and the
// plugins hold: one template, one traits record for each kind of handle (its
// type, the value that means "none", and how one is given back; most kinds
// just name the system function that gives one back), and one name for each
// kind. Every owner is movable and not copyable, so a handle has one
// owner at a time, never outlives the scope that checked it, and no path
// forgets to give it back. Header only: a program pays only for the kinds it
// uses.
//
// This header includes no system header. Each family of owners is there only
// when the system header it needs was included before this one: <winbase.h>
// (through <windows.h>) for kernel handles, files and system-allocated texts,
// <winreg.h> for keys, <wingdi.h> for fonts, <winuser.h> for windows, cursors,
// icons and device contexts, <bcrypt.h> for CNG, <objbase.h> for a thread's
// COM apartment. Each family has a guard of
// its own, so including this header again after another system header adds
// that header's owners; a plugin that never includes <bcrypt.h> never sees CNG.
#ifndef QF_OWNERS_H
#define QF_OWNERS_H

// The common shape: a kind supplies its handle type, the value that means "no
// handle" and how one is given back.
template <typename TTraits>
class unique_any
{
public:
    using pointer = typename TTraits::pointer;

    unique_any() = default;
    explicit unique_any(pointer h) : m_h(h) {}
    unique_any(unique_any&& other) noexcept : m_h(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    ~unique_any() { reset(); }

    pointer get() const { return m_h; }
    pointer release()
    {
        const pointer h = m_h;
        m_h = TTraits::Invalid();
        return h;
    }
    void reset(pointer h = TTraits::Invalid())
    {
        if (m_h != TTraits::Invalid())
            TTraits::Close(m_h);
        m_h = h;
    }
    // For calls that write a new handle through a pointer: whatever was held
    // is given back first, so the call cannot overwrite a live handle.
    pointer* addressof()
    {
        reset();
        return &m_h;
    }
    explicit operator bool() const { return m_h != TTraits::Invalid(); }

private:
    pointer m_h = TTraits::Invalid();
};

namespace handle_traits
{
template <typename THandle>
struct null_is_none
{
    using pointer = THandle;
    static pointer Invalid() { return nullptr; }
};

// The kind most handles are: null means none, and one function of the
// system gives one back.
template <typename THandle, typename TClose, TClose pfnClose>
struct closed_by : null_is_none<THandle>
{
    static void Close(THandle h) { pfnClose(h); }
};

template <typename TInterface>
struct com_interface : null_is_none<TInterface*>
{
    static void Close(TInterface* p) { p->Release(); }
};
} // namespace handle_traits

template <typename TInterface>
using unique_com = unique_any<handle_traits::com_interface<TInterface>>;

#endif // QF_OWNERS_H

#if defined(_WINBASE_) && !defined(QF_OWNERS_WINBASE)
#define QF_OWNERS_WINBASE
namespace handle_traits
{
// CreateFile reports failure with INVALID_HANDLE_VALUE, not null.
struct file_handle
{
    using pointer = HANDLE;
    static pointer Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};

// So does FindFirstFile, and its search is closed by FindClose.
struct find_handle
{
    using pointer = HANDLE;
    static pointer Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::FindClose(h); }
};
} // namespace handle_traits

using unique_handle = unique_any<handle_traits::closed_by<HANDLE, decltype(&::CloseHandle), ::CloseHandle>>;
using unique_hfile = unique_any<handle_traits::file_handle>;
using unique_hfind = unique_any<handle_traits::find_handle>;
// Texts the system allocates for us, FormatMessage's among them.
using unique_hlocal_string = unique_any<handle_traits::closed_by<LPWSTR, decltype(&::LocalFree), ::LocalFree>>;
#endif

#if defined(_WINREG_) && !defined(QF_OWNERS_WINREG)
#define QF_OWNERS_WINREG
using unique_hkey = unique_any<handle_traits::closed_by<HKEY, decltype(&::RegCloseKey), ::RegCloseKey>>;
#endif

#if defined(_WINGDI_) && !defined(QF_OWNERS_WINGDI)
#define QF_OWNERS_WINGDI
using unique_hfont = unique_any<handle_traits::closed_by<HFONT, decltype(&::DeleteObject), ::DeleteObject>>;

// A font selected into a device context, and the one it displaced put back.
class unique_select_font
{
public:
    unique_select_font(HDC hDC, HFONT hFont) : m_hDC(hDC), m_hOld(hFont ? ::SelectObject(hDC, hFont) : nullptr) {}
    unique_select_font(const unique_select_font&) = delete;
    unique_select_font& operator=(const unique_select_font&) = delete;
    ~unique_select_font()
    {
        if (m_hOld)
            ::SelectObject(m_hDC, m_hOld);
    }

private:
    HDC m_hDC;
    HGDIOBJ m_hOld;
};
#endif

#if defined(_WINUSER_) && !defined(QF_OWNERS_WINUSER)
#define QF_OWNERS_WINUSER
namespace handle_traits
{
// An owned window may already be gone with its owner; only a live one is destroyed.
struct window : null_is_none<HWND>
{
    static void Close(HWND h)
    {
        if (::IsWindow(h))
            ::DestroyWindow(h);
    }
};
} // namespace handle_traits

using unique_hcursor = unique_any<handle_traits::closed_by<HCURSOR, decltype(&::DestroyCursor), ::DestroyCursor>>;
using unique_hicon = unique_any<handle_traits::closed_by<HICON, decltype(&::DestroyIcon), ::DestroyIcon>>;
using unique_hwnd = unique_any<handle_traits::window>;

// A window's screen device context, given back to that window.
class unique_hdc_window
{
public:
    explicit unique_hdc_window(HWND hWnd) : m_hWnd(hWnd), m_hDC(::GetDC(hWnd)) {}
    unique_hdc_window(const unique_hdc_window&) = delete;
    unique_hdc_window& operator=(const unique_hdc_window&) = delete;
    ~unique_hdc_window()
    {
        if (m_hDC)
            ::ReleaseDC(m_hWnd, m_hDC);
    }
    HDC get() const { return m_hDC; }

private:
    HWND m_hWnd;
    HDC m_hDC;
};

// The painting context of one WM_PAINT: EndPaint runs whatever the painting does.
class unique_hdc_paint
{
public:
    explicit unique_hdc_paint(HWND hWnd) : m_hWnd(hWnd), m_hDC(::BeginPaint(hWnd, &m_ps)) {}
    unique_hdc_paint(const unique_hdc_paint&) = delete;
    unique_hdc_paint& operator=(const unique_hdc_paint&) = delete;
    ~unique_hdc_paint() { ::EndPaint(m_hWnd, &m_ps); }
    HDC get() const { return m_hDC; }

private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps{};
    HDC m_hDC;
};
#endif

#if defined(__BCRYPT_H__) && !defined(QF_OWNERS_BCRYPT)
#define QF_OWNERS_BCRYPT
namespace handle_traits
{
struct bcrypt_algorithm : null_is_none<BCRYPT_ALG_HANDLE>
{
    static void Close(BCRYPT_ALG_HANDLE h) { ::BCryptCloseAlgorithmProvider(h, 0); }
};
} // namespace handle_traits

using unique_bcrypt_algorithm = unique_any<handle_traits::bcrypt_algorithm>;
using unique_bcrypt_hash =
    unique_any<handle_traits::closed_by<BCRYPT_HASH_HANDLE, decltype(&::BCryptDestroyHash), ::BCryptDestroyHash>>;
using unique_bcrypt_key =
    unique_any<handle_traits::closed_by<BCRYPT_KEY_HANDLE, decltype(&::BCryptDestroyKey), ::BCryptDestroyKey>>;
#endif

#if defined(_OBJBASE_H_) && !defined(QF_OWNERS_OBJBASE)
#define QF_OWNERS_OBJBASE
// The calling thread in a COM apartment for a scope: only an initialisation
// that succeeded is balanced by an uninitialisation.
class unique_com_init
{
public:
    explicit unique_com_init(DWORD nModel) : m_hr(::CoInitializeEx(nullptr, nModel)) {}
    unique_com_init(const unique_com_init&) = delete;
    unique_com_init& operator=(const unique_com_init&) = delete;
    ~unique_com_init()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    HRESULT result() const { return m_hr; }

private:
    HRESULT m_hr;
};
#endif
