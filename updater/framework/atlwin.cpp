#include "atlwin.h"

namespace
{
const wchar_t kWindowImplProp[] = L"Quillfeed.WindowImpl";
// The window's own procedure, kept when another subclass sits on top of ours
// at unsubclassing time: our procedure stays in that chain and must still
// pass every message on.
const wchar_t kOrphanedSuperProp[] = L"Quillfeed.WindowImpl.Super";

// Messages whose result a dialog procedure returns directly instead of
// through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT uMsg)
{
    switch (uMsg)
    {
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: return true;
    default: return false;
    }
}
} // namespace

CDialogImplBase::~CDialogImplBase()
{
    // A window that outlives its object must not reach it any more.
    if (m_hWnd && ::IsWindow(m_hWnd))
        ::SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
}

HWND CDialogImplBase::CreateFromTemplate(int nIDD, HWND hWndParent, LPARAM dwInitParam)
{
    g_appModule.AddCreateWndData(this);
    HWND hWnd = ::CreateDialogParamW(g_appModule.GetResourceInstance(), MAKEINTRESOURCEW(nIDD), hWndParent,
                                     StartDialogProc, dwInitParam);
    // Nothing may be left for a later window of this thread if creation failed
    // before the first message.
    g_appModule.ExtractCreateWndData();
    return hWnd;
}

INT_PTR CALLBACK CDialogImplBase::StartDialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    auto* pThis = static_cast<CDialogImplBase*>(g_appModule.ExtractCreateWndData());
    if (!pThis)
        return FALSE;
    pThis->m_hWnd = hWnd;
    ::SetWindowLongPtrW(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(pThis));
    ::SetWindowLongPtrW(hWnd, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(pThis->GetDialogProc()));
    return pThis->GetDialogProc()(hWnd, uMsg, wParam, lParam);
}

INT_PTR CALLBACK CDialogImplBase::DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    auto* pThis = reinterpret_cast<CDialogImplBase*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
    if (!pThis)
        return FALSE;

    LRESULT lResult = 0;
    BOOL bHandled = FALSE;
    try
    {
        bHandled = pThis->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult, 0);
    }
    catch (...)
    {
        // Nothing may unwind through the system's dialog manager; the
        // message gets the default processing instead.
        bHandled = FALSE;
    }
    if (bHandled)
    {
        if (ReturnsResultDirectly(uMsg))
            return static_cast<INT_PTR>(lResult);
        if (uMsg != WM_NCDESTROY)
            ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, lResult);
        return TRUE;
    }
    if (uMsg == WM_NCDESTROY)
    {
        ::SetWindowLongPtrW(hWnd, DWLP_USER, 0);
        pThis->m_hWnd = nullptr;
        pThis->OnFinalMessage(hWnd);
    }
    return FALSE;
}

CWindowImplBase::~CWindowImplBase()
{
    if (m_hWnd)
        UnsubclassWindow();
}

BOOL CWindowImplBase::SubclassWindow(HWND hWnd)
{
    // One object per window: the property names it, and an orphaned procedure
    // still in the chain would pass every message to a new object twice.
    if (m_hWnd || !::IsWindow(hWnd) || ::GetPropW(hWnd, kWindowImplProp) || ::GetPropW(hWnd, kOrphanedSuperProp))
        return FALSE;
    if (!::SetPropW(hWnd, kWindowImplProp, this))
        return FALSE;
    auto pfnOld = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(GetWindowProc())));
    if (!pfnOld)
    {
        ::RemovePropW(hWnd, kWindowImplProp);
        return FALSE;
    }
    m_pfnSuperWindowProc = pfnOld;
    m_hWnd = hWnd;
    return TRUE;
}

HWND CWindowImplBase::UnsubclassWindow()
{
    HWND hWnd = m_hWnd;
    if (!hWnd)
        return nullptr;
    // Only put the old procedure back if nobody has subclassed on top of us;
    // otherwise our procedure stays in their chain and forwards on its own.
    if (::GetWindowLongPtrW(hWnd, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(GetWindowProc()))
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuperWindowProc));
    else
        ::SetPropW(hWnd, kOrphanedSuperProp, reinterpret_cast<HANDLE>(m_pfnSuperWindowProc));
    ::RemovePropW(hWnd, kWindowImplProp);
    m_pfnSuperWindowProc = nullptr;
    m_hWnd = nullptr;
    return hWnd;
}

LRESULT CWindowImplBase::DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return ::CallWindowProcW(m_pfnSuperWindowProc, m_hWnd, uMsg, wParam, lParam);
}

LRESULT CALLBACK CWindowImplBase::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    auto* pThis = static_cast<CWindowImplBase*>(::GetPropW(hWnd, kWindowImplProp));
    if (!pThis)
    {
        auto pfnSuper = reinterpret_cast<WNDPROC>(::GetPropW(hWnd, kOrphanedSuperProp));
        if (uMsg == WM_NCDESTROY)
            ::RemovePropW(hWnd, kOrphanedSuperProp);
        return pfnSuper ? ::CallWindowProcW(pfnSuper, hWnd, uMsg, wParam, lParam)
                        : ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }

    LRESULT lResult = 0;
    // No exception may unwind through the system's message dispatch.
    try
    {
        if (!pThis->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult, 0))
            lResult = pThis->DefWindowProc(uMsg, wParam, lParam);
    }
    catch (...)
    {
        lResult = pThis->DefWindowProc(uMsg, wParam, lParam);
    }

    if (uMsg == WM_NCDESTROY)
    {
        pThis->UnsubclassWindow();
        pThis->OnFinalMessage(hWnd);
    }
    return lResult;
}
