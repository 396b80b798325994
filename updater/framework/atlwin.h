// Message maps, modeless dialogs and subclassed windows.
//
// A window finds its object without executable thunks: a dialog keeps the
// object in DWLP_USER, a subclassed window in a window property. Both are
// reached from the first message on, through the module's create data for a
// dialog and at subclassing time for a window.
#pragma once

#include "atlbase.h"

class CMessageMap
{
public:
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                      DWORD dwMsgMapID) = 0;

protected:
    ~CMessageMap() = default;
};

// A message map reads as a table: one line per message, tested in order.
// The handlers keep the indent of the body they expand into.
// clang-format off
#define BEGIN_MSG_MAP(theClass)                                                              \
public:                                                                                      \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,            \
                              LRESULT& lResult, DWORD dwMsgMapID = 0) override               \
    {                                                                                        \
        (void)hWnd;                                                                          \
        (void)dwMsgMapID;                                                                    \
        BOOL bHandled = TRUE;

#define MESSAGE_HANDLER(msg, func)                                                           \
        if (uMsg == (msg))                                                                   \
        {                                                                                    \
            bHandled = TRUE;                                                                 \
            lResult = func(uMsg, wParam, lParam, bHandled);                                  \
            if (bHandled)                                                                    \
                return TRUE;                                                                 \
        }

#define MESSAGE_RANGE_HANDLER(msgFirst, msgLast, func)                                       \
        if (uMsg >= (msgFirst) && uMsg <= (msgLast))                                         \
        {                                                                                    \
            bHandled = TRUE;                                                                 \
            lResult = func(uMsg, wParam, lParam, bHandled);                                  \
            if (bHandled)                                                                    \
                return TRUE;                                                                 \
        }

// Matches the command id alone; the notification code and lParam are not looked at.
#define COMMAND_ID_HANDLER(id, func)                                                         \
        if (uMsg == WM_COMMAND && LOWORD(wParam) == (id))                                    \
        {                                                                                    \
            bHandled = TRUE;                                                                 \
            lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam),   \
                           bHandled);                                                        \
            if (bHandled)                                                                    \
                return TRUE;                                                                 \
        }

#define END_MSG_MAP()                                                                        \
        (void)bHandled;                                                                      \
        return FALSE;                                                                        \
    }
// clang-format on

// Base of a modeless dialog bound to the template T::IDD.
class CDialogImplBase : public CWindow, public CMessageMap
{
public:
    CDialogImplBase() = default;
    CDialogImplBase(const CDialogImplBase&) = delete;
    CDialogImplBase& operator=(const CDialogImplBase&) = delete;
    virtual ~CDialogImplBase();

    virtual DLGPROC GetDialogProc() { return DialogProc; }
    virtual void OnFinalMessage(HWND) {}

protected:
    HWND CreateFromTemplate(int nIDD, HWND hWndParent, LPARAM dwInitParam);

private:
    static INT_PTR CALLBACK StartDialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
};

template <class T>
class CDialogImpl : public CDialogImplBase
{
public:
    HWND Create(HWND hWndParent, LPARAM dwInitParam = 0)
    {
        return CreateFromTemplate(T::IDD, hWndParent, dwInitParam);
    }
};

// Subclasses an existing window: messages go to the object's message map,
// everything it leaves goes on to the window's own procedure.
class CWindowImplBase : public CWindow, public CMessageMap
{
public:
    CWindowImplBase() = default;
    CWindowImplBase(const CWindowImplBase&) = delete;
    CWindowImplBase& operator=(const CWindowImplBase&) = delete;
    virtual ~CWindowImplBase();

    virtual WNDPROC GetWindowProc() { return WindowProc; }
    virtual void OnFinalMessage(HWND) {}

    BOOL SubclassWindow(HWND hWnd);
    HWND UnsubclassWindow();

    LRESULT DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    WNDPROC m_pfnSuperWindowProc = nullptr;
};

template <class T, class TBase = CWindow>
class CWindowImpl : public CWindowImplBase
{
};
