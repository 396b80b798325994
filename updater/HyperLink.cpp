#include "HyperLink.h"

#include "framework/atlapp.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstddef>
#include <cwchar>
#include <new>

namespace
{
// The hand pointer, 32 by 32, four bytes a row, leftmost pixel in the high
// bit. Rows 22 to 31 are transparent.
// clang-format off
const BYTE kHandAndPlane[32 * 4] = {
    0xf9, 0xff, 0xff, 0xff, 0xf0, 0xff, 0xff, 0xff, 0xf0, 0xff, 0xff, 0xff, 0xf0, 0xff, 0xff, 0xff,
    0xf0, 0xff, 0xff, 0xff, 0xf0, 0x3f, 0xff, 0xff, 0xf0, 0x07, 0xff, 0xff, 0xf0, 0x01, 0xff, 0xff,
    0xf0, 0x00, 0xff, 0xff, 0x10, 0x00, 0x7f, 0xff, 0x00, 0x00, 0x7f, 0xff, 0x00, 0x00, 0x7f, 0xff,
    0x80, 0x00, 0x7f, 0xff, 0xc0, 0x00, 0x7f, 0xff, 0xc0, 0x00, 0x7f, 0xff, 0xe0, 0x00, 0x7f, 0xff,
    0xe0, 0x00, 0xff, 0xff, 0xf0, 0x00, 0xff, 0xff, 0xf0, 0x00, 0xff, 0xff, 0xf8, 0x01, 0xff, 0xff,
    0xf8, 0x01, 0xff, 0xff, 0xf8, 0x01, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
};
const BYTE kHandXorPlane[32 * 4] = {
    0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,
    0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0xc0, 0x00, 0x00, 0x06, 0xd8, 0x00, 0x00,
    0x06, 0xda, 0x00, 0x00, 0x06, 0xdb, 0x00, 0x00, 0x67, 0xfb, 0x00, 0x00, 0x77, 0xff, 0x00, 0x00,
    0x37, 0xff, 0x00, 0x00, 0x17, 0xff, 0x00, 0x00, 0x1f, 0xff, 0x00, 0x00, 0x0f, 0xff, 0x00, 0x00,
    0x0f, 0xfe, 0x00, 0x00, 0x07, 0xfe, 0x00, 0x00, 0x07, 0xfe, 0x00, 0x00, 0x03, 0xfc, 0x00, 0x00,
    0x03, 0xfc, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
// clang-format on
constexpr int kHandHotSpotX = 5;
constexpr int kHandHotSpotY = 0;

const wchar_t kColorsKey[] = L"Software\\Microsoft\\Internet Explorer\\Settings";
// A colour text is at most "255,255,255" and its terminator.
constexpr DWORD kColorTextChars = 12;

constexpr UINT_PTR kToolId = 1;

// The tool record as the tooltip of every comctl32 version reads it: the
// fields up to lParam (44 bytes in the shipped 32-bit build).
constexpr UINT kToolInfoSize = offsetof(TTTOOLINFOW, lParam) + sizeof(LPARAM);
static_assert(sizeof(void*) != 4 || kToolInfoSize == 44, "the 32-bit tool record is 44 bytes");

// Reads a string value of at most 11 characters; anything else (missing,
// another type, too long, not terminated) gives false.
bool ReadColorText(HKEY hKey, LPCWSTR pszValue, wchar_t (&szText)[kColorTextChars])
{
    DWORD dwType = 0;
    DWORD cbData = sizeof(szText);
    if (::RegQueryValueExW(hKey, pszValue, nullptr, &dwType, reinterpret_cast<BYTE*>(szText), &cbData) !=
        ERROR_SUCCESS)
        return false;
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ)
        return false;
    const DWORD cch = cbData / sizeof(wchar_t);
    return cbData % sizeof(wchar_t) == 0 && cch > 0 && szText[cch - 1] == L'\0';
}

// One component of a colour text: leading blanks and a sign allowed, stops at
// the first non-digit, no digits give 0.
int ParseComponent(LPCWSTR psz)
{
    return _wtoi(psz);
}

// Ends the text at the next comma and returns what follows it, or null when
// there is no comma.
LPWSTR CutAtComma(LPWSTR psz)
{
    for (; *psz != L'\0'; psz = ::CharNextW(psz))
    {
        if (*psz == L',')
        {
            *psz = L'\0';
            return psz + 1;
        }
    }
    return nullptr;
}
// A text that cannot be copied is left absent, never half there.
bool CopyText(std::wstring& strTarget, LPCWSTR pszText)
{
    try
    {
        strTarget = pszText ? pszText : L"";
        return true;
    }
    catch (const std::bad_alloc&)
    {
        strTarget.clear();
        return false;
    }
}
} // namespace

bool CHyperLinkImpl::ParseColor(LPWSTR lpstr, COLORREF& clr)
{
    int rgb[3]{};
    LPWSTR psz = lpstr;
    for (int i = 0; i < 2; ++i)
    {
        LPWSTR pszNext = CutAtComma(psz);
        if (!pszNext)
            return false;
        rgb[i] = ParseComponent(psz);
        if (rgb[i] == -1)
            return false;
        psz = pszNext;
    }
    if (*psz == L'\0')
        return false;
    rgb[2] = ParseComponent(psz);
    if (rgb[2] == -1)
        return false;
    clr = RGB(rgb[0] & 0xFF, rgb[1] & 0xFF, rgb[2] & 0xFF);
    return true;
}

BOOL CHyperLinkImpl::SubclassWindow(HWND hWnd)
{
    if (!CWindowImpl<CHyperLinkImpl>::SubclassWindow(hWnd))
        return FALSE;
    Init();
    return TRUE;
}

bool CHyperLinkImpl::SetHyperLink(LPCWSTR lpstrLink)
{
    if (!CopyText(m_strHyperLink, lpstrLink))
        return false;
    if (m_strLabel.empty())
        CalcLabelRect();
    AddTargetTool();
    return true;
}

bool CHyperLinkImpl::SetLabel(LPCWSTR lpstrLabel)
{
    if (!CopyText(m_strLabel, lpstrLabel))
        return false;
    CalcLabelRect();
    if (IsWindow())
        SetWindowText(m_strLabel.c_str());
    return true;
}

bool CHyperLinkImpl::Navigate()
{
    if (m_strHyperLink.empty())
        return false;
    const auto hInst = ::ShellExecuteW(nullptr, L"open", m_strHyperLink.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(hInst) <= 32)
        return false;
    m_bVisited = true;
    Invalidate();
    return true;
}

void CHyperLinkImpl::Init()
{
    wchar_t szClass[8]{};
    ::GetClassNameW(m_hWnd, szClass, 8);
    if (::lstrcmpiW(szClass, L"static") == 0)
    {
        const DWORD dwStyle = GetStyle();
        if (!(dwStyle & SS_NOTIFY))
            ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(dwStyle | SS_NOTIFY));
        const DWORD dwType = dwStyle & 0xFF;
        if ((dwType >= SS_ICON && dwType <= SS_WHITEFRAME) || (dwType >= SS_OWNERDRAW && dwType <= SS_ENHMETAFILE))
            m_bPaintLabel = false;
    }

    const HINSTANCE hInst = g_appModule.GetModuleInstance();
    m_hCursor.reset(::CreateCursor(hInst, kHandHotSpotX, kHandHotSpotY, 32, 32, kHandAndPlane, kHandXorPlane));

    if (m_bPaintLabel)
    {
        m_hFontNormal = reinterpret_cast<HFONT>(::SendMessageW(GetParent(), WM_GETFONT, 0, 0));
        if (!m_hFontNormal)
            m_hFontNormal = static_cast<HFONT>(::GetStockObject(SYSTEM_FONT));
        LOGFONTW lf{};
        if (m_hFontNormal && !m_hFont && ::GetObjectW(m_hFontNormal, sizeof(lf), &lf))
        {
            lf.lfUnderline = TRUE;
            m_hFont.reset(::CreateFontIndirectW(&lf));
        }
    }

    m_hTip.reset(::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, m_hWnd, nullptr, hInst, nullptr));

    if (m_strLabel.empty())
    {
        const int cch = ::GetWindowTextLengthW(m_hWnd);
        if (cch > 0)
        {
            std::wstring strText(static_cast<size_t>(cch) + 1, L'\0');
            strText.resize(static_cast<size_t>(::GetWindowTextW(m_hWnd, &strText[0], cch + 1)));
            if (!strText.empty())
                m_strLabel = strText;
        }
    }

    CalcLabelRect();

    if (!m_strHyperLink.empty())
        AddTargetTool();
    else if (!m_strLabel.empty())
        SetHyperLink(m_strLabel.c_str());

    if (m_bPaintLabel)
        ReadLinkColors();
}

// Read access only: the colours are never written, and a user who may not
// write the key must still get them.
void CHyperLinkImpl::ReadLinkColors()
{
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kColorsKey, 0, KEY_READ, key.addressof()) != ERROR_SUCCESS)
        return;
    wchar_t szText[kColorTextChars]{};
    if (ReadColorText(key.get(), L"Anchor Color", szText))
        ParseColor(szText, m_clrLink);
    if (ReadColorText(key.get(), L"Anchor Color Visited", szText))
        ParseColor(szText, m_clrVisited);
}

UINT CHyperLinkImpl::TextFormat() const
{
    // The text types only: SS_CENTER and SS_RIGHT are values of the type
    // field, not flags (SS_SIMPLE shares their bits).
    const DWORD dwType = GetStyle() & SS_TYPEMASK;
    if (dwType == SS_CENTER)
        return DT_WORDBREAK | DT_CENTER;
    if (dwType == SS_RIGHT)
        return DT_WORDBREAK | DT_RIGHT;
    return DT_WORDBREAK | DT_LEFT;
}

bool CHyperLinkImpl::CalcLabelRect()
{
    if (!IsWindow() || (m_strLabel.empty() && m_strHyperLink.empty()))
        return false;
    RECT rcClient{};
    ::GetClientRect(m_hWnd, &rcClient);
    m_rcLink = rcClient;
    if (!m_bPaintLabel)
        return true;

    unique_hdc_window dc(m_hWnd);
    const UINT uFormat = TextFormat();
    {
        unique_select_font font(dc.get(), m_hFont.get());
        const std::wstring& strText = m_strLabel.empty() ? m_strHyperLink : m_strLabel;
        ::DrawTextW(dc.get(), strText.c_str(), -1, &m_rcLink, uFormat | DT_CALCRECT);
    }
    if (uFormat & DT_CENTER)
        ::OffsetRect(&m_rcLink, (rcClient.right - m_rcLink.right) / 2, 0);
    else if (uFormat & DT_RIGHT)
        ::OffsetRect(&m_rcLink, rcClient.right - m_rcLink.right, 0);

    // The tooltip follows the text when the label or the control's size changes.
    if (m_hTip && !m_strHyperLink.empty())
    {
        TTTOOLINFOW ti{};
        ti.cbSize = kToolInfoSize;
        ti.hwnd = m_hWnd;
        ti.uId = kToolId;
        ti.rect = m_rcLink;
        ::SendMessageW(m_hTip.get(), TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&ti));
    }
    return true;
}

// The tooltip shows the page address: the tool the control's own text was
// registered with is replaced, not stacked under a second one of the same id.
void CHyperLinkImpl::AddTargetTool()
{
    if (!m_hTip)
        return;
    TTTOOLINFOW ti{};
    ti.cbSize = kToolInfoSize;
    ti.hwnd = m_hWnd;
    ti.uId = kToolId;
    ::SendMessageW(m_hTip.get(), TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));

    ::SendMessageW(m_hTip.get(), TTM_ACTIVATE, TRUE, 0);
    ti.uFlags = 0;
    ti.rect = m_rcLink;
    ti.hinst = g_appModule.GetModuleInstance();
    ti.lpszText = const_cast<LPWSTR>(m_strHyperLink.c_str());
    ::SendMessageW(m_hTip.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
}

bool CHyperLinkImpl::IsOverLink(POINT pt) const
{
    return !m_strHyperLink.empty() && ::PtInRect(&m_rcLink, pt);
}

LRESULT CHyperLinkImpl::OnCreate(UINT, WPARAM, LPARAM, BOOL&)
{
    Init();
    return 0;
}

LRESULT CHyperLinkImpl::OnDestroy(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    m_hTip.reset();
    bHandled = FALSE;
    return 0;
}

LRESULT CHyperLinkImpl::OnMouseMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
{
    if (m_hTip)
    {
        MSG msg{m_hWnd, uMsg, wParam, lParam, 0, {0, 0}};
        ::SendMessageW(m_hTip.get(), TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
    }
    bHandled = FALSE;
    return 0;
}

LRESULT CHyperLinkImpl::OnMouseMove(UINT, WPARAM, LPARAM lParam, BOOL& bHandled)
{
    const POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    if (IsOverLink(pt))
        ::SetCursor(m_hCursor.get());
    else
        bHandled = FALSE;
    return 0;
}

LRESULT CHyperLinkImpl::OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    const POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    if (::PtInRect(&m_rcLink, pt))
    {
        ::SetFocus(m_hWnd);
        ::SetCapture(m_hWnd);
    }
    return 0;
}

LRESULT CHyperLinkImpl::OnLButtonUp(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    if (::GetCapture() == m_hWnd)
    {
        ::ReleaseCapture();
        const POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (::PtInRect(&m_rcLink, pt))
            Navigate();
    }
    return 0;
}

LRESULT CHyperLinkImpl::OnSetCursor(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    POINT pt{};
    ::GetCursorPos(&pt);
    ::ScreenToClient(m_hWnd, &pt);
    if (IsOverLink(pt))
        return TRUE;
    bHandled = FALSE;
    return FALSE;
}

LRESULT CHyperLinkImpl::OnChar(UINT, WPARAM wParam, LPARAM, BOOL&)
{
    if (wParam == VK_RETURN || wParam == VK_SPACE)
        Navigate();
    return 0;
}

LRESULT CHyperLinkImpl::OnFocus(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    if (m_bPaintLabel)
        Invalidate();
    else
        bHandled = FALSE;
    return 0;
}

LRESULT CHyperLinkImpl::OnEnable(UINT, WPARAM, LPARAM, BOOL&)
{
    Invalidate();
    UpdateWindow();
    return 0;
}

LRESULT CHyperLinkImpl::OnPaint(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
{
    if (!m_bPaintLabel)
    {
        bHandled = FALSE;
        return 0;
    }
    if (wParam)
    {
        EraseBackground(reinterpret_cast<HDC>(wParam));
        DoPaint(reinterpret_cast<HDC>(wParam));
        return 0;
    }
    unique_hdc_paint dc(m_hWnd);
    EraseBackground(dc.get());
    DoPaint(dc.get());
    return 0;
}

LRESULT CHyperLinkImpl::OnSize(UINT, WPARAM, LPARAM, BOOL&)
{
    CalcLabelRect();
    Invalidate();
    return 0;
}

LRESULT CHyperLinkImpl::OnGetFont(UINT, WPARAM, LPARAM, BOOL&)
{
    return reinterpret_cast<LRESULT>(m_hFontNormal);
}

LRESULT CHyperLinkImpl::OnSetFont(UINT, WPARAM wParam, LPARAM lParam, BOOL&)
{
    m_hFontNormal = reinterpret_cast<HFONT>(wParam);
    if (lParam)
    {
        Invalidate();
        UpdateWindow();
    }
    return 0;
}

void CHyperLinkImpl::EraseBackground(HDC hDC)
{
    const auto hBrush = reinterpret_cast<HBRUSH>(::SendMessageW(
        GetParent(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(hDC), reinterpret_cast<LPARAM>(m_hWnd)));
    if (!hBrush)
        return;
    RECT rcClient{};
    ::GetClientRect(m_hWnd, &rcClient);
    ::FillRect(hDC, &rcClient, hBrush);
}

void CHyperLinkImpl::DoPaint(HDC hDC)
{
    ::SetBkMode(hDC, TRANSPARENT);
    const COLORREF clrText = !::IsWindowEnabled(m_hWnd) ? ::GetSysColor(COLOR_GRAYTEXT)
                             : m_bVisited               ? m_clrVisited
                                                        : m_clrLink;
    const COLORREF clrOld = ::SetTextColor(hDC, clrText);
    {
        unique_select_font font(hDC, m_hFont ? m_hFont.get() : m_hFontNormal);
        const std::wstring& strText = m_strLabel.empty() ? m_strHyperLink : m_strLabel;
        RECT rcText = m_rcLink;
        ::DrawTextW(hDC, strText.c_str(), -1, &rcText, TextFormat());
        if (::GetFocus() == m_hWnd)
            ::DrawFocusRect(hDC, &m_rcLink);
    }
    ::SetTextColor(hDC, clrOld);
}
