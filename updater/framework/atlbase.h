// The application module and the window wrapper: the part of the template
// framework that every window of the update program stands on.
#pragma once

#include <windows.h>

#include <map>
#include <vector>

class CMessageLoop;

// Holds the instance handle, each UI thread's message loop and the object
// whose window is being created on a thread (so the first message that
// reaches the new window can find its object without a thunk).
class CAppModule
{
public:
    CAppModule() = default;
    CAppModule(const CAppModule&) = delete;
    CAppModule& operator=(const CAppModule&) = delete;

    HRESULT Init(HINSTANCE hInstance);
    void Term();

    HINSTANCE GetModuleInstance() const { return m_hInst; }
    HINSTANCE GetResourceInstance() const { return m_hInst; }

    BOOL AddMessageLoop(CMessageLoop* pMsgLoop);
    BOOL RemoveMessageLoop();
    CMessageLoop* GetMessageLoop(DWORD dwThreadID = ::GetCurrentThreadId());

    void AddCreateWndData(void* pObject);
    void* ExtractCreateWndData();

private:
    class CLock
    {
    public:
        explicit CLock(CRITICAL_SECTION& cs) : m_cs(cs) { ::EnterCriticalSection(&m_cs); }
        ~CLock() { ::LeaveCriticalSection(&m_cs); }
        CLock(const CLock&) = delete;
        CLock& operator=(const CLock&) = delete;
    private:
        CRITICAL_SECTION& m_cs;
    };

    HINSTANCE m_hInst = nullptr;
    bool m_bInit = false;
    CRITICAL_SECTION m_csLock{};
    std::map<DWORD, CMessageLoop*> m_loops;
    std::map<DWORD, void*> m_createData;
};

extern CAppModule g_appModule;

// A thin, non-owning wrapper of a window handle.
class CWindow
{
public:
    HWND m_hWnd = nullptr;

    CWindow(HWND hWnd = nullptr) : m_hWnd(hWnd) {}

    operator HWND() const { return m_hWnd; }
    BOOL IsWindow() const { return ::IsWindow(m_hWnd); }

    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    HWND GetParent() const { return ::GetParent(m_hWnd); }
    LONG_PTR GetWindowLongPtr(int nIndex) const { return ::GetWindowLongPtrW(m_hWnd, nIndex); }
    DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }

    LRESULT SendMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendMessageW(m_hWnd, uMsg, wParam, lParam);
    }
    BOOL PostMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::PostMessageW(m_hWnd, uMsg, wParam, lParam);
    }

    BOOL SetWindowText(LPCWSTR pszText) const { return ::SetWindowTextW(m_hWnd, pszText); }
    BOOL ShowWindow(int nCmdShow) const { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    BOOL BringWindowToTop() const { return ::BringWindowToTop(m_hWnd); }
    BOOL SetForegroundWindow() const { return ::SetForegroundWindow(m_hWnd); }
    BOOL Invalidate(BOOL bErase = TRUE) const { return ::InvalidateRect(m_hWnd, nullptr, bErase); }
    BOOL UpdateWindow() const { return ::UpdateWindow(m_hWnd); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon = TRUE) const
    {
        return reinterpret_cast<HICON>(
            SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
    }
    int MessageBox(LPCWSTR pszText, LPCWSTR pszCaption = L"", UINT uType = MB_OK) const
    {
        return ::MessageBoxW(m_hWnd, pszText, pszCaption, uType);
    }
    BOOL DestroyWindow()
    {
        if (!::DestroyWindow(m_hWnd))
            return FALSE;
        m_hWnd = nullptr;
        return TRUE;
    }

    // Centres an unowned window on the work area of the desktop; only the
    // position changes.
    BOOL CenterWindow() const;
};
