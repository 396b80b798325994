#include "atlapp.h"

#include <algorithm>

namespace
{
template <typename T>
BOOL RemoveItem(std::vector<T*>& items, T* pItem)
{
    auto it = std::find(items.begin(), items.end(), pItem);
    if (it == items.end())
        return FALSE;
    items.erase(it);
    return TRUE;
}
} // namespace

BOOL CMessageLoop::AddMessageFilter(CMessageFilter* pMessageFilter)
{
    m_filters.push_back(pMessageFilter);
    return TRUE;
}

BOOL CMessageLoop::RemoveMessageFilter(CMessageFilter* pMessageFilter)
{
    return RemoveItem(m_filters, pMessageFilter);
}

BOOL CMessageLoop::AddIdleHandler(CIdleHandler* pIdleHandler)
{
    m_idleHandlers.push_back(pIdleHandler);
    return TRUE;
}

BOOL CMessageLoop::RemoveIdleHandler(CIdleHandler* pIdleHandler)
{
    return RemoveItem(m_idleHandlers, pIdleHandler);
}

int CMessageLoop::Run()
{
    bool bDoIdle = true;
    MSG msg{};
    for (;;)
    {
        while (bDoIdle && !::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE))
        {
            OnIdle();
            bDoIdle = false;
        }

        const BOOL bRet = ::GetMessageW(&msg, nullptr, 0, 0);
        if (bRet == -1)
            continue;
        if (!bRet)
            break;

        if (!PreTranslateMessage(&msg))
        {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }

        if (!IsIdleMessage(msg))
            bDoIdle = true;
    }
    return static_cast<int>(msg.wParam);
}

bool CMessageLoop::IsIdleMessage(const MSG& msg)
{
    switch (msg.message)
    {
    case WM_MOUSEMOVE:
    case WM_NCMOUSEMOVE:
    case WM_PAINT:
    case 0x0118: // WM_SYSTIMER, the caret blink
        return true;
    default: return false;
    }
}

BOOL CMessageLoop::PreTranslateMessage(MSG* pMsg)
{
    // Newest filter first; the first that takes the message consumes it.
    for (auto it = m_filters.rbegin(); it != m_filters.rend(); ++it)
    {
        if ((*it)->PreTranslateMessage(pMsg))
            return TRUE;
    }
    return FALSE;
}

void CMessageLoop::OnIdle()
{
    for (CIdleHandler* pIdleHandler : m_idleHandlers)
        pIdleHandler->OnIdle();
}
