// The link label: the colour text, and a real static control in a test window
// driven with real messages and painted into a memory DC.
#include "HyperLink.h"
#include "ModuleScope.h"
#include "PublisherUrl.h"
#include "TestSupport.h"
#include "UpdaterNames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

using namespace qftest;

namespace
{
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kDefaultLink = RGB(0, 0, 255);
constexpr COLORREF kDefaultVisited = RGB(128, 0, 128);
const wchar_t kColorsKey[] = L"Software\\Microsoft\\Internet Explorer\\Settings";
// Opened by the http recorder registered in the test prefix.
const std::wstring kReachableUrl = std::wstring(QUILLFEED_PUBLISHER_URL) + kWhatsNewPagePath;
// No program opens this, so the shell reports a failure.
const wchar_t kUnreachableTarget[] = L"C:\\no such folder\\no such page.html";

// The parent paints statics on white and lends the font kept in its user data.
LRESULT CALLBACK ParentProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_CTLCOLORSTATIC)
        return reinterpret_cast<LRESULT>(::GetStockObject(WHITE_BRUSH));
    if (uMsg == WM_GETFONT)
        return ::GetWindowLongPtrW(hWnd, GWLP_USERDATA);
    return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

const wchar_t* ParentClass()
{
    static const ATOM atom = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ParentProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QuillfeedLinkTestParent";
        return ::RegisterClassW(&wc);
    }();
    return reinterpret_cast<const wchar_t*>(static_cast<ULONG_PTR>(atom));
}

// A visible test window with one static, and a link label attached to it.
class LinkHost
{
public:
    explicit LinkHost(const wchar_t* text = L"What's New:", DWORD style = SS_LEFT, int width = 200,
                      HFONT hParentFont = nullptr, bool attach = true)
    {
        m_hParent.reset(::CreateWindowExW(0, ParentClass(), L"link test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100,
                                          400, 200, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr));
        ::SetWindowLongPtrW(m_hParent.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(hParentFont));
        m_hStatic = ::CreateWindowExW(0, L"Static", text, WS_CHILD | WS_VISIBLE | style, 10, 10, width, 40,
                                      m_hParent.get(), reinterpret_cast<HMENU>(1010), ::GetModuleHandleW(nullptr),
                                      nullptr);
        if (attach)
        {
            EXPECT_TRUE(link.SubclassWindow(m_hStatic));
        }
    }

    HWND parent() const { return m_hParent.get(); }
    HWND label() const { return m_hStatic; }

    POINT OnText() const
    {
        const RECT& rc = link.GetLinkRect();
        return {rc.left + 3, (rc.top + rc.bottom) / 2};
    }
    POINT RightOfText() const
    {
        RECT rc{};
        ::GetClientRect(m_hStatic, &rc);
        return {rc.right - 3, link.GetLinkRect().top + 2};
    }

    void Click(POINT down, POINT up) const
    {
        ::SendMessageW(m_hStatic, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(down.x, down.y));
        ::SendMessageW(m_hStatic, WM_LBUTTONUP, 0, MAKELPARAM(up.x, up.y));
    }
    void Click(POINT pt) const { Click(pt, pt); }

    CHyperLink link;

private:
    unique_hwnd m_hParent; // takes the static with it
    HWND m_hStatic = nullptr;
};
} // namespace

TEST(HyperLinkColorText, ParsesRedGreenBlueOrLeavesTheColour)
{
    struct Case
    {
        const wchar_t* text;
        bool parses;
        COLORREF clr;
    };
    const Case cases[] = {
        {L"255,0,0", true, RGB(255, 0, 0)},
        {L" 0, 128, 0", true, RGB(0, 128, 0)},
        {L"0,0", false, 0},
        {L"0,0,", false, 0},
        {L",0,0", true, RGB(0, 0, 0)},
        {L"-1,0,0", false, 0},
        {L"0,-1,0", false, 0},
        {L"0,0,-1", false, 0},
        {L"300,0,0", true, RGB(44, 0, 0)},
        {L"1,2,3,4", true, RGB(1, 2, 3)},
        {L"", false, 0},
        {L"12,34,56x", true, RGB(12, 34, 56)},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "text: \"" << std::string(c.text, c.text + wcslen(c.text)) << "\"");
        std::wstring buffer = c.text;
        COLORREF clr = RGB(9, 9, 9);
        EXPECT_EQ(CHyperLinkImpl::ParseColor(&buffer[0], clr), c.parses);
        EXPECT_EQ(clr, c.parses ? c.clr : RGB(9, 9, 9));
    }
}

TEST(HyperLinkAttach, TakesTheStaticsTextAsLabelAndShowsTheTargetInOneTooltipTool)
{
    ModuleScope module;
    LinkHost host;
    EXPECT_TRUE(::GetWindowLongW(host.label(), GWL_STYLE) & SS_NOTIFY);
    EXPECT_EQ(host.link.GetLabel(), L"What's New:");
    EXPECT_EQ(host.link.GetHyperLink(), L"What's New:");

    ASSERT_TRUE(host.link.SetHyperLink(kReachableUrl.c_str()));
    HWND hTip = host.link.GetToolTip();
    ASSERT_TRUE(::IsWindow(hTip));
    // A child cannot own a popup: the system makes the test window its owner,
    // so the label itself has to take the tooltip with it.
    EXPECT_EQ(::GetWindow(hTip, GW_OWNER), host.parent());
    EXPECT_EQ(::SendMessageW(hTip, TTM_GETTOOLCOUNT, 0, 0), 1);
    wchar_t szTip[128]{};
    TTTOOLINFOW ti{};
    ti.cbSize = TTTOOLINFOW_V2_SIZE;
    ti.hwnd = host.label();
    ti.uId = 1;
    ti.lpszText = szTip;
    ::SendMessageW(hTip, TTM_GETTEXTW, 128, reinterpret_cast<LPARAM>(&ti));
    EXPECT_EQ(szTip, kReachableUrl);

    // The tooltip goes with the label's window.
    ::DestroyWindow(host.label());
    EXPECT_FALSE(::IsWindow(hTip));
}

TEST(HyperLinkAttach, UsesTheParentsFontUnderlinedOrTheSystemFont)
{
    ModuleScope module;
    HFONT hFont = ::CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, 0, 0, 0, 0, 0, L"Tahoma");
    {
        LinkHost host(L"What's New:", SS_LEFT, 200, hFont);
        EXPECT_EQ(reinterpret_cast<HFONT>(::SendMessageW(host.label(), WM_GETFONT, 0, 0)), hFont);
    }
    {
        LinkHost host;
        EXPECT_EQ(reinterpret_cast<HGDIOBJ>(::SendMessageW(host.label(), WM_GETFONT, 0, 0)),
                  ::GetStockObject(SYSTEM_FONT));
        // WM_SETFONT replaces the font the label answers with.
        ::SendMessageW(host.label(), WM_SETFONT, reinterpret_cast<WPARAM>(hFont), TRUE);
        EXPECT_EQ(reinterpret_cast<HFONT>(::SendMessageW(host.label(), WM_GETFONT, 0, 0)), hFont);
    }
    ::DeleteObject(hFont);
}

TEST(HyperLinkAttach, HandCursorHasItsHotSpotAtTheFingerTip)
{
    ModuleScope module;
    LinkHost host;
    ICONINFO info{};
    ASSERT_TRUE(::GetIconInfo(host.link.GetLinkCursor(), &info));
    EXPECT_FALSE(info.fIcon);
    EXPECT_EQ(info.xHotspot, 5u);
    EXPECT_EQ(info.yHotspot, 0u);
    BITMAP bm{};
    ::GetObjectW(info.hbmMask, sizeof(bm), &bm);
    EXPECT_EQ(bm.bmWidth, 32);
    EXPECT_EQ(bm.bmHeight, 64); // a monochrome cursor stacks its AND and XOR planes
    ::DeleteObject(info.hbmMask);
    if (info.hbmColor)
        ::DeleteObject(info.hbmColor);
}

TEST(HyperLinkAttach, ImageStaticKeepsItsOwnPainting)
{
    ModuleScope module;
    LinkHost host(L"", SS_BLACKRECT);
    const Pixels pixels = PrintedPixels(host.label());
    EXPECT_EQ(pixels.Count(kDefaultLink), 0u);
    EXPECT_EQ(pixels.Count(kWhite), 0u) << "the label painted over a black rectangle";
}

// Each row: the settings the label finds, what it does, and the colour the
// text is painted in at the end, underlined, on the parent's white, with none
// of the other colours anywhere.
TEST(HyperLinkPaint, TextColourFollowsTheSettingsTheActivationAndTheState)
{
    constexpr COLORREF kGreyText = CLR_INVALID; // the system's grey-text colour
    enum class Activation
    {
        None,
        Click,
        Navigate
    };
    struct Case
    {
        const char* name;
        const wchar_t *link, *visited; // the values' texts, stored as REG_SZ unless given a type; null: none
        DWORD linkType, visitedType;
        bool readOnlyKey;
        COLORREF linkColor, visitedColor; // what the label reads
        const wchar_t* target;
        Activation activation;
        bool visitedAfter;
        bool disable;
        COLORREF painted;
    };
    const wchar_t* const url = kReachableUrl.c_str();
    const Case cases[] = {
        {"no settings", nullptr, nullptr, REG_SZ, REG_SZ, false, kDefaultLink, kDefaultVisited, url, Activation::None,
         false, false, kDefaultLink},
        {"the settings' colours, visited after a click", L"0, 128, 0", L"255,0,0", REG_SZ, REG_SZ, false,
         RGB(0, 128, 0), RGB(255, 0, 0), url, Activation::Click, true, false, RGB(255, 0, 0)},
        // Reading the colours needs no more than read access.
        {"a key the user may only read", L"255,0,0", nullptr, REG_SZ, REG_SZ, true, RGB(255, 0, 0), kDefaultVisited,
         url, Activation::None, false, false, RGB(255, 0, 0)},
        {"12 characters, and not a string", L"000,000,0000", L"0,255,0", REG_SZ, REG_DWORD, false, kDefaultLink,
         kDefaultVisited, url, Activation::None, false, false, kDefaultLink},
        {"an expandable string, and a text that does not parse", L"1,2,3", L"0,0,", REG_EXPAND_SZ, REG_SZ, false,
         RGB(1, 2, 3), kDefaultVisited, url, Activation::None, false, false, RGB(1, 2, 3)},
        {"a page that cannot be opened keeps the link colour", nullptr, nullptr, REG_SZ, REG_SZ, false, kDefaultLink,
         kDefaultVisited, kUnreachableTarget, Activation::Click, false, false, kDefaultLink},
        {"disabled is grey even when visited", nullptr, nullptr, REG_SZ, REG_SZ, false, kDefaultLink, kDefaultVisited,
         url, Activation::Navigate, true, true, kGreyText},
    };
    ModuleScope module;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const ScopedRegistryValue link(HKEY_CURRENT_USER, kColorsKey, L"Anchor Color", c.link, c.linkType);
        const ScopedRegistryValue visited(HKEY_CURRENT_USER, kColorsKey, L"Anchor Color Visited", c.visited,
                                          c.visitedType);
        ASSERT_TRUE(link.applied() && visited.applied());
        std::optional<ScopedReadOnlyKey> readOnly;
        if (c.readOnlyKey)
        {
            readOnly.emplace(HKEY_CURRENT_USER, kColorsKey);
            ASSERT_TRUE(readOnly->applied());
            HKEY hKey = nullptr;
            ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kColorsKey, 0, KEY_READ | KEY_WRITE, &hKey),
                      ERROR_ACCESS_DENIED);
        }
        OpenedPages opened;
        LinkHost host;
        EXPECT_EQ(host.link.GetLinkColor(), c.linkColor);
        EXPECT_EQ(host.link.GetVisitedColor(), c.visitedColor);
        host.link.SetHyperLink(c.target);
        EXPECT_GT(PrintedPixels(host.label()).Count(c.linkColor), 10u) << "before any activation";

        if (c.activation == Activation::Click)
            host.Click(host.OnText());
        if (c.activation == Activation::Navigate)
        {
            EXPECT_EQ(host.link.Navigate(), c.visitedAfter);
        }
        EXPECT_EQ(host.link.IsVisited(), c.visitedAfter);
        if (c.visitedAfter)
        {
            EXPECT_TRUE(opened.WaitFor(Utf8(kReachableUrl)));
        }
        if (c.disable)
            ::EnableWindow(host.label(), FALSE);

        const COLORREF painted = c.painted == kGreyText ? ::GetSysColor(COLOR_GRAYTEXT) : c.painted;
        const Pixels pixels = PrintedPixels(host.label());
        EXPECT_GT(pixels.Count(painted), 10u);
        EXPECT_GT(pixels.Count(kWhite), 0u) << "the parent's static brush fills the background";
        for (COLORREF other : {c.linkColor, c.visitedColor, kDefaultLink, kDefaultVisited})
        {
            EXPECT_TRUE(other == painted || pixels.Count(other) == 0) << std::hex << other;
        }
        // Underlined: one unbroken line of the colour under the whole text,
        // which the letters alone never draw.
        const RECT& rcText = host.link.GetLinkRect();
        EXPECT_GE(pixels.LongestRun(painted), (rcText.right - rcText.left) * 9 / 10);
    }
}

TEST(HyperLinkPaint, FocusRectangleSurroundsTheTextWhileFocused)
{
    ModuleScope module;
    LinkHost host(L"What's New:", SS_LEFT, 300);
    ::SetFocus(host.parent());
    const Pixels unfocused = PrintedPixels(host.label());
    ::SetFocus(host.label());
    ASSERT_EQ(::GetFocus(), host.label());
    const Pixels focused = PrintedPixels(host.label());

    // The dotted frame runs along the link rectangle and nowhere else.
    const RECT& rc = host.link.GetLinkRect();
    size_t onFrame = 0, elsewhere = 0;
    RECT client{};
    ::GetClientRect(host.label(), &client);
    for (int y = 0; y < client.bottom; ++y)
        for (int x = 0; x < client.right; ++x)
        {
            if (focused.At(x, y) == unfocused.At(x, y))
                continue;
            const bool frame = (x == rc.left || x == rc.right - 1 || y == rc.top || y == rc.bottom - 1) &&
                               x >= rc.left && x < rc.right && y >= rc.top && y < rc.bottom;
            ++(frame ? onFrame : elsewhere);
        }
    EXPECT_GT(onFrame, 10u);
    EXPECT_EQ(elsewhere, 0u);
}

TEST(HyperLinkHitTest, NarrowTextInAWideStaticIsTheOnlyLink)
{
    ModuleScope module;
    LinkHost host(L"Link", SS_LEFT, 300);
    host.link.SetHyperLink(kReachableUrl.c_str());
    const RECT& rc = host.link.GetLinkRect();
    EXPECT_EQ(rc.left, 0);
    EXPECT_LT(rc.right, 100);

    HCURSOR hArrow = ::LoadCursorW(nullptr, IDC_ARROW);
    const POINT right = host.RightOfText();
    ::SetCursor(hArrow);
    ::SendMessageW(host.label(), WM_MOUSEMOVE, 0, MAKELPARAM(right.x, right.y));
    EXPECT_EQ(::GetCursor(), hArrow);
    const POINT on = host.OnText();
    ::SendMessageW(host.label(), WM_MOUSEMOVE, 0, MAKELPARAM(on.x, on.y));
    EXPECT_EQ(::GetCursor(), host.link.GetLinkCursor());

    // WM_SETCURSOR keeps the hand only while the pointer is over the text.
    const std::pair<POINT, LRESULT> points[] = {{on, TRUE}, {right, FALSE}};
    for (const auto& [pt, keepsHand] : points)
    {
        POINT screen = pt;
        ::ClientToScreen(host.label(), &screen);
        ::SetCursorPos(screen.x, screen.y);
        EXPECT_TRUE(WaitUntil([&] {
            POINT now{};
            ::GetCursorPos(&now);
            return now.x == screen.x && now.y == screen.y;
        }));
        EXPECT_EQ(::SendMessageW(host.label(), WM_SETCURSOR, reinterpret_cast<WPARAM>(host.label()),
                                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
                  keepsHand);
    }
}

TEST(HyperLinkHitTest, CentredAndRightAlignedTextFollowTheStaticsWidth)
{
    ModuleScope module;
    LinkHost right(L"Link", SS_RIGHT, 300);
    EXPECT_EQ(right.link.GetLinkRect().right, 300);
    EXPECT_GT(right.link.GetLinkRect().left, 200);
    ::SetWindowPos(right.label(), nullptr, 0, 0, 200, 40, SWP_NOMOVE | SWP_NOZORDER);
    EXPECT_EQ(right.link.GetLinkRect().right, 200);
    TTTOOLINFOW ti{};
    ti.cbSize = TTTOOLINFOW_V2_SIZE;
    ti.hwnd = right.label();
    ti.uId = 1;
    ASSERT_TRUE(::SendMessageW(right.link.GetToolTip(), TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&ti)));
    EXPECT_TRUE(::EqualRect(&ti.rect, &right.link.GetLinkRect())) << "the tooltip stays over the text";

    LinkHost centred(L"Link", SS_CENTER, 300);
    const RECT rc = centred.link.GetLinkRect();
    EXPECT_LE(std::abs((rc.left + rc.right) / 2 - 150), 1);

    // A new label is measured again and becomes the control's text.
    ASSERT_TRUE(centred.link.SetLabel(L"A much longer label text"));
    EXPECT_EQ(WindowText(centred.label()), L"A much longer label text");
    EXPECT_GT(centred.link.GetLinkRect().right - centred.link.GetLinkRect().left, rc.right - rc.left);
}

// Only the text opens the page, with the mouse pressed and released on it or,
// from the keyboard, Enter and Space; each row on a label of its own, and one
// page for each that opens.
TEST(HyperLinkActivation, TheTextEnterAndSpaceOpenThePageNothingElseDoes)
{
    using Point = POINT (LinkHost::*)() const;
    const struct
    {
        const char* name;
        Point press, release; // or, without them, the character sent to the focused label
        wchar_t ch;
        bool focused; // the label has the keyboard focus afterwards
        bool opens;
    } cases[] = {
        {"a click on the text", &LinkHost::OnText, &LinkHost::OnText, 0, true, true},
        {"a click right of the text, inside the static", &LinkHost::RightOfText, &LinkHost::RightOfText, 0, false,
         false},
        {"pressed on the text, released off it", &LinkHost::OnText, &LinkHost::RightOfText, 0, true, false},
        {"Enter", nullptr, nullptr, L'\r', true, true},
        {"Space", nullptr, nullptr, L' ', true, true},
        {"another character", nullptr, nullptr, L'a', true, false},
    };
    ModuleScope module;
    OpenedPages opened;
    std::string expected;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        LinkHost host(L"Link", SS_LEFT, 300);
        host.link.SetHyperLink(kReachableUrl.c_str());
        EXPECT_EQ(::GetWindowLongW(host.label(), GWL_STYLE) & WS_TABSTOP, 0);
        EXPECT_EQ(::SendMessageW(host.label(), WM_GETDLGCODE, 0, 0), DLGC_WANTCHARS);
        ::SetFocus(c.press ? host.parent() : host.label());
        if (c.press)
            host.Click((host.*c.press)(), (host.*c.release)());
        else
            ::SendMessageW(host.label(), WM_CHAR, c.ch, 0);
        EXPECT_EQ(::GetFocus() == host.label(), c.focused);
        EXPECT_EQ(host.link.IsVisited(), c.opens);
        EXPECT_EQ(::GetCapture(), nullptr);
        if (c.opens)
            expected += Utf8(kReachableUrl) + "\n";
    }
    EXPECT_TRUE(WaitUntil([&] { return opened.Text() == expected; })) << opened.Text();
}

TEST(HyperLinkLifetime, DestroyingTheObjectGivesTheStaticItsProcedureBack)
{
    ModuleScope module;
    LinkHost host(L"What's New:", SS_LEFT, 200, nullptr, false);
    const LONG_PTR original = ::GetWindowLongPtrW(host.label(), GWLP_WNDPROC);
    {
        CHyperLink link;
        ASSERT_TRUE(link.SubclassWindow(host.label()));
        EXPECT_NE(::GetWindowLongPtrW(host.label(), GWLP_WNDPROC), original);
        CHyperLink second;
        EXPECT_FALSE(second.SubclassWindow(host.label())) << "one object per window";
    }
    EXPECT_EQ(::GetWindowLongPtrW(host.label(), GWLP_WNDPROC), original);
    EXPECT_EQ(::SendMessageW(host.label(), WM_GETDLGCODE, 0, 0), DLGC_STATIC);
}

namespace
{
WNDPROC g_pfnBelowOuter = nullptr;
LRESULT CALLBACK OuterProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return ::CallWindowProcW(g_pfnBelowOuter, hWnd, uMsg, wParam, lParam);
}
} // namespace

TEST(HyperLinkLifetime, StaticStillWorksWhenAnotherSubclassSitsOnTop)
{
    ModuleScope module;
    LinkHost host(L"What's New:", SS_LEFT, 200, nullptr, false);
    {
        CHyperLink link;
        ASSERT_TRUE(link.SubclassWindow(host.label()));
        g_pfnBelowOuter = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(host.label(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(OuterProc)));
        EXPECT_EQ(::SendMessageW(host.label(), WM_GETDLGCODE, 0, 0), DLGC_WANTCHARS);
    }
    // Our procedure is still in the chain and passes messages to the static's own.
    EXPECT_EQ(::SendMessageW(host.label(), WM_GETDLGCODE, 0, 0), DLGC_STATIC);
    CHyperLink later;
    EXPECT_FALSE(later.SubclassWindow(host.label()));
    ::DestroyWindow(host.label());
}
