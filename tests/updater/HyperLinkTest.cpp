// The link label: the colour text, and a real static control in a test window
// driven with real messages and painted into a memory DC.
#include "HyperLink.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <sddl.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace qftest;

namespace
{
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kDefaultLink = RGB(0, 0, 255);
constexpr COLORREF kDefaultVisited = RGB(128, 0, 128);
const wchar_t kColorsKey[] = L"Software\\Microsoft\\Internet Explorer\\Settings";
// Opened by the http recorder registered in the test prefix.
const wchar_t kReachableUrl[] = L"http://127.0.0.1:18931/whatsnew.html";
// No program opens this, so the shell reports a failure.
const wchar_t kUnreachableTarget[] = L"C:\\no such folder\\no such page.html";

struct ModuleScope
{
    ModuleScope()
    {
        g_appModule.Init(::GetModuleHandleW(nullptr));
        INITCOMMONCONTROLSEX iccx{sizeof(iccx), ICC_BAR_CLASSES};
        ::InitCommonControlsEx(&iccx);
    }
    ~ModuleScope() { g_appModule.Term(); }
};

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
        m_hParent = ::CreateWindowExW(0, ParentClass(), L"link test", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                      100, 100, 400, 200, nullptr, nullptr, ::GetModuleHandleW(nullptr),
                                      nullptr);
        ::SetWindowLongPtrW(m_hParent, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(hParentFont));
        m_hStatic = ::CreateWindowExW(0, L"Static", text, WS_CHILD | WS_VISIBLE | style, 10, 10, width, 40,
                                      m_hParent, reinterpret_cast<HMENU>(1010),
                                      ::GetModuleHandleW(nullptr), nullptr);
        if (attach)
        {
            EXPECT_TRUE(link.SubclassWindow(m_hStatic));
        }
    }
    ~LinkHost()
    {
        if (::IsWindow(m_hParent))
            ::DestroyWindow(m_hParent);
    }
    LinkHost(const LinkHost&) = delete;
    LinkHost& operator=(const LinkHost&) = delete;

    HWND parent() const { return m_hParent; }
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

    void Click(POINT pt) const
    {
        ::SendMessageW(m_hStatic, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(pt.x, pt.y));
        ::SendMessageW(m_hStatic, WM_LBUTTONUP, 0, MAKELPARAM(pt.x, pt.y));
    }

    // What the label paints, read back from a memory DC, row by row.
    std::vector<COLORREF> Paint() const
    {
        RECT rc{};
        ::GetClientRect(m_hStatic, &rc);
        m_cx = rc.right;
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
        bi.bmiHeader.biWidth = rc.right;
        bi.bmiHeader.biHeight = -rc.bottom;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        HDC hMem = ::CreateCompatibleDC(nullptr);
        void* pBits = nullptr;
        HBITMAP hBmp = ::CreateDIBSection(hMem, &bi, DIB_RGB_COLORS, &pBits, nullptr, 0);
        HGDIOBJ hOld = ::SelectObject(hMem, hBmp);
        RECT rcFill = rc;
        ::FillRect(hMem, &rcFill, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
        ::SendMessageW(m_hStatic, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(hMem), PRF_CLIENT);
        ::GdiFlush();
        std::vector<COLORREF> pixels;
        const auto* p = static_cast<const DWORD*>(pBits);
        for (int i = 0; i < rc.right * rc.bottom; ++i)
            pixels.push_back(RGB((p[i] >> 16) & 0xFF, (p[i] >> 8) & 0xFF, p[i] & 0xFF));
        ::SelectObject(hMem, hOld);
        ::DeleteObject(hBmp);
        ::DeleteDC(hMem);
        return pixels;
    }
    COLORREF PixelAt(const std::vector<COLORREF>& pixels, int x, int y) const { return pixels[y * m_cx + x]; }
    // The longest run of one colour along any row of the last painting.
    int LongestRun(const std::vector<COLORREF>& pixels, COLORREF clr) const
    {
        int longest = 0;
        for (size_t row = 0; row < pixels.size() / static_cast<size_t>(m_cx); ++row)
        {
            int run = 0;
            for (int x = 0; x < m_cx; ++x)
            {
                run = PixelAt(pixels, x, static_cast<int>(row)) == clr ? run + 1 : 0;
                longest = std::max(longest, run);
            }
        }
        return longest;
    }

    CHyperLink link;

private:
    HWND m_hParent = nullptr;
    HWND m_hStatic = nullptr;
    mutable int m_cx = 0;
};

size_t Count(const std::vector<COLORREF>& pixels, COLORREF clr)
{
    size_t n = 0;
    for (COLORREF c : pixels)
        n += c == clr;
    return n;
}

// Sets (or, given nothing, removes) a value of the colour key for one test
// and puts the earlier state back afterwards.
class ColorValue
{
public:
    ColorValue(const wchar_t* name, std::optional<std::wstring> text, DWORD type = REG_SZ) : m_name(name)
    {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, kColorsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                          &m_hKey, nullptr);
        DWORD cb = 0;
        if (::RegQueryValueExW(m_hKey, name, nullptr, &m_oldType, nullptr, &cb) == ERROR_SUCCESS)
        {
            m_old.resize(cb);
            ::RegQueryValueExW(m_hKey, name, nullptr, &m_oldType, m_old.data(), &cb);
            m_hadOld = true;
        }
        if (!text)
            ::RegDeleteValueW(m_hKey, name);
        else if (type == REG_DWORD)
        {
            const DWORD value = 0x00FF00;
            ::RegSetValueExW(m_hKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
        }
        else
            ::RegSetValueExW(m_hKey, name, 0, type, reinterpret_cast<const BYTE*>(text->c_str()),
                             static_cast<DWORD>((text->size() + 1) * sizeof(wchar_t)));
    }
    ~ColorValue()
    {
        if (m_hadOld)
            ::RegSetValueExW(m_hKey, m_name, 0, m_oldType, m_old.data(), static_cast<DWORD>(m_old.size()));
        else
            ::RegDeleteValueW(m_hKey, m_name);
        ::RegCloseKey(m_hKey);
    }
    ColorValue(const ColorValue&) = delete;
    ColorValue& operator=(const ColorValue&) = delete;

private:
    const wchar_t* m_name;
    HKEY m_hKey = nullptr;
    bool m_hadOld = false;
    DWORD m_oldType = 0;
    std::vector<BYTE> m_old;
};

// Lets everyone only read the colour key for one test, then puts its own
// access list back.
class ReadOnlyColorKey
{
public:
    ReadOnlyColorKey()
    {
        ::RegOpenKeyExW(HKEY_CURRENT_USER, kColorsKey, 0, READ_CONTROL | WRITE_DAC, &m_hKey);
        DWORD cb = 0;
        ::RegGetKeySecurity(m_hKey, DACL_SECURITY_INFORMATION, nullptr, &cb);
        m_old.resize(cb);
        if (cb && ::RegGetKeySecurity(m_hKey, DACL_SECURITY_INFORMATION, m_old.data(), &cb) == ERROR_SUCCESS)
            m_bSaved = true;
        PSECURITY_DESCRIPTOR readOnly = nullptr;
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1,
                                                                   &readOnly, nullptr))
        {
            m_bApplied = ::RegSetKeySecurity(m_hKey, DACL_SECURITY_INFORMATION, readOnly) == ERROR_SUCCESS;
            ::LocalFree(readOnly);
        }
    }
    ~ReadOnlyColorKey()
    {
        if (m_bSaved)
            ::RegSetKeySecurity(m_hKey, DACL_SECURITY_INFORMATION, m_old.data());
        if (m_hKey)
            ::RegCloseKey(m_hKey);
    }
    ReadOnlyColorKey(const ReadOnlyColorKey&) = delete;
    ReadOnlyColorKey& operator=(const ReadOnlyColorKey&) = delete;

    bool applied() const { return m_bSaved && m_bApplied; }

private:
    HKEY m_hKey = nullptr;
    bool m_bSaved = false;
    bool m_bApplied = false;
    std::vector<BYTE> m_old;
};

struct NoColorValues
{
    ColorValue link{L"Anchor Color", std::nullopt};
    ColorValue visited{L"Anchor Color Visited", std::nullopt};
};

// Points the recorder at a scratch file for this process's openings.
class OpenedPages
{
public:
    OpenedPages() { ::SetEnvironmentVariableW(L"QF_HTTP_RECORD", m_dir.file(L"opened.txt").c_str()); }
    ~OpenedPages() { ::SetEnvironmentVariableW(L"QF_HTTP_RECORD", nullptr); }
    std::string Text() const { return ReadFileBytes(m_dir.file(L"opened.txt")); }
    bool WaitFor(const std::string& line) const
    {
        return WaitUntil([&] { return Text().find(line + "\n") != std::string::npos; });
    }

private:
    ScratchDir m_dir;
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

    ASSERT_TRUE(host.link.SetHyperLink(kReachableUrl));
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
    EXPECT_STREQ(szTip, kReachableUrl);

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
    const auto pixels = host.Paint();
    EXPECT_EQ(Count(pixels, kDefaultLink), 0u);
    EXPECT_EQ(Count(pixels, kWhite), 0u) << "the label painted over a black rectangle";
}

TEST(HyperLinkPaint, DefaultColoursWithoutInternetExplorerSettings)
{
    ModuleScope module;
    NoColorValues none;
    LinkHost host;
    EXPECT_EQ(host.link.GetLinkColor(), kDefaultLink);
    EXPECT_EQ(host.link.GetVisitedColor(), kDefaultVisited);
    const auto pixels = host.Paint();
    EXPECT_GT(Count(pixels, kDefaultLink), 10u);
    EXPECT_GT(Count(pixels, kWhite), 0u) << "the parent's static brush fills the background";
    EXPECT_EQ(Count(pixels, kDefaultVisited), 0u);
    // Underlined: one unbroken line of the link colour under the whole text,
    // which the letters alone never draw.
    const RECT& rcText = host.link.GetLinkRect();
    EXPECT_GE(host.LongestRun(pixels, kDefaultLink), (rcText.right - rcText.left) * 9 / 10);
}

TEST(HyperLinkPaint, ColoursFromTheRegistryAndVisitedAfterASuccessfulActivation)
{
    ModuleScope module;
    ColorValue link(L"Anchor Color", L"0, 128, 0");
    ColorValue visited(L"Anchor Color Visited", L"255,0,0");
    OpenedPages opened;
    LinkHost host;
    host.link.SetHyperLink(kReachableUrl);
    EXPECT_GT(Count(host.Paint(), RGB(0, 128, 0)), 10u);

    host.Click(host.OnText());
    EXPECT_TRUE(host.link.IsVisited());
    EXPECT_TRUE(opened.WaitFor("http://127.0.0.1:18931/whatsnew.html"));
    const auto pixels = host.Paint();
    EXPECT_GT(Count(pixels, RGB(255, 0, 0)), 10u);
    EXPECT_EQ(Count(pixels, RGB(0, 128, 0)), 0u);
}

// Reading the colours needs no more than read access: a user who may only
// read the key still gets them.
TEST(HyperLinkPaint, ColoursComeFromAKeyTheUserMayOnlyRead)
{
    ModuleScope module;
    ColorValue link(L"Anchor Color", L"255,0,0");
    ColorValue visited(L"Anchor Color Visited", std::nullopt);
    ReadOnlyColorKey readOnly;
    ASSERT_TRUE(readOnly.applied());
    HKEY hKey = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kColorsKey, 0, KEY_READ | KEY_WRITE, &hKey), ERROR_ACCESS_DENIED);

    LinkHost host;
    host.link.SetHyperLink(kReachableUrl);
    const auto pixels = host.Paint();
    EXPECT_GT(Count(pixels, RGB(255, 0, 0)), 10u);
    EXPECT_EQ(Count(pixels, kDefaultLink), 0u);
}

TEST(HyperLinkPaint, UnusableRegistryValuesLeaveTheDefaults)
{
    ModuleScope module;
    ColorValue link(L"Anchor Color", L"000,000,0000"); // 12 characters
    ColorValue visited(L"Anchor Color Visited", L"", REG_DWORD);
    LinkHost host;
    EXPECT_EQ(host.link.GetLinkColor(), kDefaultLink);
    EXPECT_EQ(host.link.GetVisitedColor(), kDefaultVisited);
    {
        ColorValue expand(L"Anchor Color", L"1,2,3", REG_EXPAND_SZ);
        ColorValue unparsable(L"Anchor Color Visited", L"0,0,");
        LinkHost other;
        EXPECT_EQ(other.link.GetLinkColor(), RGB(1, 2, 3));
        EXPECT_EQ(other.link.GetVisitedColor(), kDefaultVisited);
    }
}

TEST(HyperLinkPaint, FailedActivationKeepsTheLinkColour)
{
    ModuleScope module;
    NoColorValues none;
    LinkHost host;
    host.link.SetHyperLink(kUnreachableTarget);
    host.Click(host.OnText());
    EXPECT_FALSE(host.link.IsVisited());
    const auto pixels = host.Paint();
    EXPECT_GT(Count(pixels, kDefaultLink), 10u);
    EXPECT_EQ(Count(pixels, kDefaultVisited), 0u);
}

TEST(HyperLinkPaint, DisabledIsGreyEvenWhenVisited)
{
    ModuleScope module;
    NoColorValues none;
    OpenedPages opened;
    LinkHost host;
    host.link.SetHyperLink(kReachableUrl);
    ASSERT_TRUE(host.link.Navigate());
    ::EnableWindow(host.label(), FALSE);
    const auto pixels = host.Paint();
    EXPECT_GT(Count(pixels, ::GetSysColor(COLOR_GRAYTEXT)), 10u);
    EXPECT_EQ(Count(pixels, kDefaultVisited), 0u);
    EXPECT_EQ(Count(pixels, kDefaultLink), 0u);
    EXPECT_TRUE(opened.WaitFor("http://127.0.0.1:18931/whatsnew.html"));
}

TEST(HyperLinkPaint, FocusRectangleSurroundsTheTextWhileFocused)
{
    ModuleScope module;
    NoColorValues none;
    LinkHost host(L"What's New:", SS_LEFT, 300);
    ::SetFocus(host.parent());
    const auto unfocused = host.Paint();
    ::SetFocus(host.label());
    ASSERT_EQ(::GetFocus(), host.label());
    const auto focused = host.Paint();

    // The dotted frame runs along the link rectangle and nowhere else.
    const RECT& rc = host.link.GetLinkRect();
    size_t onFrame = 0, elsewhere = 0;
    RECT client{};
    ::GetClientRect(host.label(), &client);
    for (int y = 0; y < client.bottom; ++y)
        for (int x = 0; x < client.right; ++x)
        {
            if (host.PixelAt(focused, x, y) == host.PixelAt(unfocused, x, y))
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
    NoColorValues none;
    OpenedPages opened;
    LinkHost host(L"Link", SS_LEFT, 300);
    host.link.SetHyperLink(kReachableUrl);
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
    POINT screen = on;
    ::ClientToScreen(host.label(), &screen);
    ::SetCursorPos(screen.x, screen.y);
    EXPECT_TRUE(WaitUntil([&] { POINT pt{}; ::GetCursorPos(&pt); return pt.x == screen.x && pt.y == screen.y; }));
    EXPECT_EQ(::SendMessageW(host.label(), WM_SETCURSOR, reinterpret_cast<WPARAM>(host.label()),
                             MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)), TRUE);
    screen = right;
    ::ClientToScreen(host.label(), &screen);
    ::SetCursorPos(screen.x, screen.y);
    EXPECT_TRUE(WaitUntil([&] { POINT pt{}; ::GetCursorPos(&pt); return pt.x == screen.x && pt.y == screen.y; }));
    EXPECT_EQ(::SendMessageW(host.label(), WM_SETCURSOR, reinterpret_cast<WPARAM>(host.label()),
                             MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)), FALSE);

    host.Click(right);
    EXPECT_FALSE(host.link.IsVisited());
    EXPECT_EQ(::GetCapture(), nullptr);
    host.Click(on);
    EXPECT_TRUE(host.link.IsVisited());
    EXPECT_EQ(::GetCapture(), nullptr);
    EXPECT_TRUE(opened.WaitFor("http://127.0.0.1:18931/whatsnew.html"));
    EXPECT_EQ(opened.Text(), "http://127.0.0.1:18931/whatsnew.html\n") << "one click, one page";
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

TEST(HyperLinkKeyboard, EnterAndSpaceOpenThePageOtherCharactersDoNot)
{
    ModuleScope module;
    OpenedPages opened;
    EXPECT_EQ(::GetWindowLongW(LinkHost().label(), GWL_STYLE) & WS_TABSTOP, 0);
    for (wchar_t ch : {L'\r', L' '})
    {
        LinkHost host;
        host.link.SetHyperLink(kReachableUrl);
        EXPECT_EQ(::SendMessageW(host.label(), WM_GETDLGCODE, 0, 0), DLGC_WANTCHARS);
        ::SetFocus(host.label());
        ::SendMessageW(host.label(), WM_CHAR, L'a', 0);
        EXPECT_FALSE(host.link.IsVisited());
        ::SendMessageW(host.label(), WM_CHAR, ch, 0);
        EXPECT_TRUE(host.link.IsVisited()) << static_cast<int>(ch);
    }
    EXPECT_TRUE(WaitUntil([&] {
        return opened.Text() == "http://127.0.0.1:18931/whatsnew.html\nhttp://127.0.0.1:18931/whatsnew.html\n";
    }));
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
        g_pfnBelowOuter = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
            host.label(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(OuterProc)));
        EXPECT_EQ(::SendMessageW(host.label(), WM_GETDLGCODE, 0, 0), DLGC_WANTCHARS);
    }
    // Our procedure is still in the chain and passes messages to the static's own.
    EXPECT_EQ(::SendMessageW(host.label(), WM_GETDLGCODE, 0, 0), DLGC_STATIC);
    CHyperLink later;
    EXPECT_FALSE(later.SubclassWindow(host.label()));
    ::DestroyWindow(host.label());
}
