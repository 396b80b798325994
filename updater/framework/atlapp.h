// The message loop of a UI thread with its message filters and idle handlers.
#pragma once

#include "atlbase.h"

class CMessageFilter
{
public:
    virtual BOOL PreTranslateMessage(MSG* pMsg) = 0;

protected:
    ~CMessageFilter() = default;
};

class CIdleHandler
{
public:
    virtual BOOL OnIdle() = 0;

protected:
    ~CIdleHandler() = default;
};

class CMessageLoop
{
public:
    BOOL AddMessageFilter(CMessageFilter* pMessageFilter);
    BOOL RemoveMessageFilter(CMessageFilter* pMessageFilter);
    BOOL AddIdleHandler(CIdleHandler* pIdleHandler);
    BOOL RemoveIdleHandler(CIdleHandler* pIdleHandler);

    // Runs until WM_QUIT and returns its wParam.
    int Run();

    // Messages that do not re-arm idle processing once it has run.
    static bool IsIdleMessage(const MSG& msg);

private:
    BOOL PreTranslateMessage(MSG* pMsg);
    void OnIdle();

    std::vector<CMessageFilter*> m_filters;
    std::vector<CIdleHandler*> m_idleHandlers;
};
