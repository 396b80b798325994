#include "atlbase.h"

#include "atlapp.h"

CAppModule g_appModule;

HRESULT CAppModule::Init(HINSTANCE hInstance)
{
    m_hInst = hInstance;
    if (!m_bInit)
    {
        ::InitializeCriticalSection(&m_csLock);
        m_bInit = true;
    }
    return S_OK;
}

void CAppModule::Term()
{
    if (m_bInit)
    {
        m_loops.clear();
        m_createData.clear();
        ::DeleteCriticalSection(&m_csLock);
        m_bInit = false;
    }
}

BOOL CAppModule::AddMessageLoop(CMessageLoop* pMsgLoop)
{
    CLock lock(m_csLock);
    return m_loops.emplace(::GetCurrentThreadId(), pMsgLoop).second;
}

BOOL CAppModule::RemoveMessageLoop()
{
    CLock lock(m_csLock);
    return m_loops.erase(::GetCurrentThreadId()) != 0;
}

CMessageLoop* CAppModule::GetMessageLoop(DWORD dwThreadID)
{
    CLock lock(m_csLock);
    auto it = m_loops.find(dwThreadID);
    return it == m_loops.end() ? nullptr : it->second;
}

void CAppModule::AddCreateWndData(void* pObject)
{
    CLock lock(m_csLock);
    m_createData[::GetCurrentThreadId()] = pObject;
}

void* CAppModule::ExtractCreateWndData()
{
    CLock lock(m_csLock);
    auto it = m_createData.find(::GetCurrentThreadId());
    if (it == m_createData.end())
        return nullptr;
    void* pObject = it->second;
    m_createData.erase(it);
    return pObject;
}

BOOL CWindow::CenterWindow() const
{
    RECT rcWindow{};
    ::GetWindowRect(m_hWnd, &rcWindow);
    RECT rcArea{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcArea, 0);

    const int cx = rcWindow.right - rcWindow.left;
    const int cy = rcWindow.bottom - rcWindow.top;
    int left = (rcArea.left + rcArea.right) / 2 - cx / 2;
    int top = (rcArea.top + rcArea.bottom) / 2 - cy / 2;

    if (left < rcArea.left)
        left = rcArea.left;
    else if (left + cx > rcArea.right)
        left = rcArea.right - cx;
    if (top < rcArea.top)
        top = rcArea.top;
    else if (top + cy > rcArea.bottom)
        top = rcArea.bottom - cy;

    return ::SetWindowPos(m_hWnd, nullptr, left, top, -1, -1, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
