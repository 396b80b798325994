// Owners of the user-interface handles the update program creates: one type
// per kind of handle, each movable and not copyable.
#pragma once

#include <windows.h>

template <typename THandle, BOOL(WINAPI* pfnClose)(THandle)>
class unique_ui_handle
{
public:
    unique_ui_handle() = default;
    explicit unique_ui_handle(THandle h) : m_h(h) {}
    unique_ui_handle(unique_ui_handle&& other) noexcept : m_h(other.release()) {}
    unique_ui_handle& operator=(unique_ui_handle&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    unique_ui_handle(const unique_ui_handle&) = delete;
    unique_ui_handle& operator=(const unique_ui_handle&) = delete;
    ~unique_ui_handle() { reset(); }

    THandle get() const { return m_h; }
    THandle release()
    {
        THandle h = m_h;
        m_h = nullptr;
        return h;
    }
    void reset(THandle h = nullptr)
    {
        if (m_h)
            pfnClose(m_h);
        m_h = h;
    }
    explicit operator bool() const { return m_h != nullptr; }

private:
    THandle m_h = nullptr;
};

namespace ui_handle_detail
{
inline BOOL WINAPI DeleteFont(HFONT hFont) { return ::DeleteObject(hFont); }
// An owned window may already be gone with its owner; only a live one is destroyed.
inline BOOL WINAPI DestroyLiveWindow(HWND hWnd) { return ::IsWindow(hWnd) && ::DestroyWindow(hWnd); }
} // namespace ui_handle_detail

using unique_hfont = unique_ui_handle<HFONT, ui_handle_detail::DeleteFont>;
using unique_hcursor = unique_ui_handle<HCURSOR, ::DestroyCursor>;
using unique_hwnd = unique_ui_handle<HWND, ui_handle_detail::DestroyLiveWindow>;
