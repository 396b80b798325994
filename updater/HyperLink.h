// A static text control turned into a web link: painted in the link colour
// with an underlined font, a hand pointer and a tooltip over the text, and the
// page opened in the browser on a click, Enter or Space.
#pragma once

#include "framework/atlwin.h"
#include "Owners.h"

#include <string>

class CHyperLinkImpl : public CWindowImpl<CHyperLinkImpl>
{
public:
    CHyperLinkImpl() = default;
    ~CHyperLinkImpl() override = default;

    // Subclasses an existing control and initialises it; false when the
    // window procedure cannot be replaced.
    BOOL SubclassWindow(HWND hWnd);

    // The page that is opened and shown in the tooltip; false, leaving no
    // target, when the copy cannot be made.
    bool SetHyperLink(LPCWSTR lpstrLink);
    // The text that is painted; false when the copy cannot be made.
    bool SetLabel(LPCWSTR lpstrLabel);

    // Opens the target with the shell; on success the label becomes visited.
    bool Navigate();

    const std::wstring& GetHyperLink() const { return m_strHyperLink; }
    const std::wstring& GetLabel() const { return m_strLabel; }
    const RECT& GetLinkRect() const { return m_rcLink; }
    HCURSOR GetLinkCursor() const { return m_hCursor.get(); }
    HWND GetToolTip() const { return m_hTip.get(); }
    COLORREF GetLinkColor() const { return m_clrLink; }
    COLORREF GetVisitedColor() const { return m_clrVisited; }
    bool IsVisited() const { return m_bVisited; }

    // Reads "r,g,b" (decimal, blanks before a number allowed) into a colour.
    // Cuts the text at each comma, so the buffer is changed.
    static bool ParseColor(LPWSTR lpstr, COLORREF& clr);

    BEGIN_MSG_MAP(CHyperLinkImpl)
        MESSAGE_HANDLER(WM_CREATE, OnCreate)
        MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
        // The classic mouse messages (0x200 to 0x209) go to the tooltip first.
        MESSAGE_RANGE_HANDLER(WM_MOUSEFIRST, WM_MBUTTONDBLCLK, OnMouseMessage)
        MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
        MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
        MESSAGE_HANDLER(WM_LBUTTONUP, OnLButtonUp)
        MESSAGE_HANDLER(WM_SETCURSOR, OnSetCursor)
        MESSAGE_HANDLER(WM_CHAR, OnChar)
        MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
        MESSAGE_HANDLER(WM_SETFOCUS, OnFocus)
        MESSAGE_HANDLER(WM_KILLFOCUS, OnFocus)
        MESSAGE_HANDLER(WM_ENABLE, OnEnable)
        MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
        MESSAGE_HANDLER(WM_PAINT, OnPaint)
        MESSAGE_HANDLER(WM_PRINTCLIENT, OnPaint)
        MESSAGE_HANDLER(WM_SIZE, OnSize)
        MESSAGE_HANDLER(WM_GETFONT, OnGetFont)
        MESSAGE_HANDLER(WM_SETFONT, OnSetFont)
        MESSAGE_HANDLER(WM_UPDATEUISTATE, OnUpdateUiState)
    END_MSG_MAP()

private:
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL& bHandled);
    LRESULT OnMouseMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM lParam, BOOL& bHandled);
    LRESULT OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnLButtonUp(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnSetCursor(UINT, WPARAM, LPARAM, BOOL& bHandled);
    LRESULT OnChar(UINT, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&) { return DLGC_WANTCHARS; }
    LRESULT OnFocus(UINT, WPARAM, LPARAM, BOOL& bHandled);
    LRESULT OnEnable(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnPaint(UINT, WPARAM wParam, LPARAM, BOOL& bHandled);
    LRESULT OnSize(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnGetFont(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSetFont(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
    LRESULT OnUpdateUiState(UINT, WPARAM, LPARAM, BOOL&) { return 0; }

    void Init();
    void ReadLinkColors();
    bool CalcLabelRect();
    void AddTargetTool();
    UINT TextFormat() const;
    bool IsOverLink(POINT pt) const;
    void EraseBackground(HDC hDC);
    void DoPaint(HDC hDC);

    std::wstring m_strLabel;     // empty: none
    std::wstring m_strHyperLink; // empty: none
    unique_hcursor m_hCursor;
    unique_hfont m_hFont;          // the underlined link font
    HFONT m_hFontNormal = nullptr; // the parent's, borrowed
    RECT m_rcLink{};
    unique_hwnd m_hTip;
    COLORREF m_clrLink = RGB(0, 0, 255);
    COLORREF m_clrVisited = RGB(128, 0, 128);
    bool m_bPaintLabel = true;
    bool m_bVisited = false;
};

class CHyperLink : public CHyperLinkImpl
{
};
