#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>

namespace qftest
{

namespace
{
// Every failure of a test is followed by what its equipment saw then (the
// programs it started, with their windows, and the publishers' last
// requests), so that a wait that gave up explains itself in the log alone;
// once for failures in a row that saw the same.
class WhatWasSeen : public ::testing::EmptyTestEventListener
{
    void OnTestStart(const ::testing::TestInfo&) override { m_last.clear(); }

    void OnTestPartResult(const ::testing::TestPartResult& result) override
    {
        if (!result.failed())
            return;
        std::string seen = qfsupport::DescribeWitnesses();
        if (!TopLevelWindowsOf(::GetCurrentProcessId()).empty())
            seen += "  this test's own process:\n" + qfsupport::DescribeWindowsOf(::GetCurrentProcessId());
        if (seen.empty() || seen == m_last)
            return;
        std::printf("What the test saw then:\n%s", seen.c_str());
        std::fflush(stdout);
        m_last = seen;
    }

    std::string m_last;
};

const bool g_bSeenOnFailure = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new WhatWasSeen);
    return true;
}();

// Waits for a window of the process to show; a process that has ended shows
// none, and the wait ends with it (sooner than its bound: no test can see the
// difference but by the time it takes).
bool WaitForWindowOf(DWORD pid, const std::function<bool()>& found, std::chrono::milliseconds timeout)
{
    unique_handle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    return WaitUntil([&] { return found() || !process || ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0; },
                     timeout);
}
} // namespace

std::wstring TestBinDir()
{
    return qfsupport::ModuleFolder();
}

std::wstring DistDir()
{
    wchar_t path[MAX_PATH]{};
    ::PathCombineW(path, TestBinDir().c_str(), L"..\\dist");
    return path;
}

std::wstring UpdaterPath()
{
    return DistDir() + L"\\QuillfeedUpdater.exe";
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const std::wstring& value) : m_name(name)
{
    std::vector<wchar_t> old(32768);
    const DWORD n = ::GetEnvironmentVariableW(name, old.data(), static_cast<DWORD>(old.size()));
    m_had = n > 0 && n < old.size();
    if (m_had)
        m_old = old.data();
    ::SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment()
{
    ::SetEnvironmentVariableW(m_name.c_str(), m_had ? m_old.c_str() : nullptr);
}

ScopedReadOnlyKey::ScopedReadOnlyKey(HKEY hRoot, const wchar_t* key)
{
    if (::RegOpenKeyExW(hRoot, key, 0, READ_CONTROL | WRITE_DAC, m_hKey.addressof()) != ERROR_SUCCESS)
        return;
    DWORD cb = 0;
    ::RegGetKeySecurity(m_hKey.get(), DACL_SECURITY_INFORMATION, nullptr, &cb);
    m_old.resize(cb);
    m_bSaved = cb && ::RegGetKeySecurity(m_hKey.get(), DACL_SECURITY_INFORMATION, m_old.data(), &cb) == ERROR_SUCCESS;
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    if (m_bSaved && ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1,
                                                                           &readOnly, nullptr))
    {
        m_bApplied = ::RegSetKeySecurity(m_hKey.get(), DACL_SECURITY_INFORMATION, readOnly) == ERROR_SUCCESS;
        ::LocalFree(readOnly);
    }
}

ScopedReadOnlyKey::~ScopedReadOnlyKey()
{
    if (m_bSaved)
        ::RegSetKeySecurity(m_hKey.get(), DACL_SECURITY_INFORMATION, m_old.data());
}

OpenedPages::OpenedPages() : m_record(L"QF_HTTP_RECORD", m_dir.file(L"opened.txt"))
{
}

bool OpenedPages::WaitFor(const std::string& page) const
{
    return WaitUntil([&] { return Text().find(page + "\n") != std::string::npos; });
}

size_t Pixels::Count(COLORREF clr) const
{
    return static_cast<size_t>(std::count(colors.begin(), colors.end(), clr));
}

int Pixels::LongestRun(COLORREF clr) const
{
    int longest = 0;
    for (size_t i = 0, run = 0; i < colors.size(); ++i)
    {
        if (i % cx == 0)
            run = 0;
        run = colors[i] == clr ? run + 1 : 0;
        longest = std::max(longest, static_cast<int>(run));
    }
    return longest;
}

namespace
{
// cx by cy pixels of a 32-bit memory DC after draw has drawn into it.
Pixels Capture(int cx, int cy, const std::function<void(HDC)>& draw)
{
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = cx;
    bi.bmiHeader.biHeight = -cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    HDC hMem = ::CreateCompatibleDC(nullptr);
    void* pBits = nullptr;
    HBITMAP hBmp = ::CreateDIBSection(hMem, &bi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    HGDIOBJ hOld = ::SelectObject(hMem, hBmp);
    draw(hMem);
    ::GdiFlush();
    Pixels pixels{cx, {}};
    const auto* p = static_cast<const DWORD*>(pBits);
    for (int i = 0; pBits && i < cx * cy; ++i)
        pixels.colors.push_back(RGB((p[i] >> 16) & 0xFF, (p[i] >> 8) & 0xFF, p[i] & 0xFF));
    ::SelectObject(hMem, hOld);
    ::DeleteObject(hBmp);
    ::DeleteDC(hMem);
    return pixels;
}
} // namespace

Pixels PrintedPixels(HWND hWnd)
{
    RECT rc{};
    ::GetClientRect(hWnd, &rc);
    return Capture(rc.right, rc.bottom, [&](HDC hMem) {
        ::FillRect(hMem, &rc, static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH)));
        ::SendMessageW(hWnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(hMem), PRF_CLIENT);
    });
}

Pixels ScreenPixels(HWND hWnd)
{
    RECT rc{};
    ::GetWindowRect(hWnd, &rc);
    return Capture(rc.right - rc.left, rc.bottom - rc.top, [&](HDC hMem) {
        HDC hScreen = ::GetDC(nullptr);
        ::BitBlt(hMem, 0, 0, rc.right - rc.left, rc.bottom - rc.top, hScreen, rc.left, rc.top, SRCCOPY);
        ::ReleaseDC(nullptr, hScreen);
    });
}

Process::Process(const std::wstring& program, const LaunchOptions& options) : qfsupport::Process(program, options)
{
    if (!started())
        ADD_FAILURE() << "cannot start " << Utf8(program) << ": error " << startError();
}

HWND WaitForTopLevelWindow(DWORD pid, const std::wstring& className, const std::wstring& caption,
                           std::chrono::milliseconds timeout)
{
    HWND result = nullptr;
    WaitForWindowOf(
        pid,
        [&] {
            for (HWND hWnd : TopLevelWindowsOf(pid))
            {
                if (ClassNameOf(hWnd) == className && (caption.empty() || WindowText(hWnd) == caption))
                {
                    result = hWnd;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return result;
}

namespace
{
// The icon and the buttons of a box, read from its child windows.
void ReadBoxLook(MessageBoxInfo& info)
{
    ::EnumChildWindows(
        info.hWnd,
        [](HWND hChild, LPARAM lParam) CALLBACK -> BOOL {
            auto* box = reinterpret_cast<MessageBoxInfo*>(lParam);
            if (!::IsWindowVisible(hChild))
                return TRUE;
            const std::wstring cls = ClassNameOf(hChild);
            if (_wcsicmp(cls.c_str(), L"Static") == 0 &&
                (::GetWindowLongW(hChild, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                ::SendMessageW(hChild, STM_GETICON, 0, 0) != 0)
                box->icon = true;
            else if (_wcsicmp(cls.c_str(), L"Button") == 0)
                box->buttons.push_back(::GetDlgCtrlID(hChild));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&info));
}
} // namespace

MessageBoxInfo WaitForMessageBox(DWORD pid, std::chrono::milliseconds timeout)
{
    MessageBoxInfo info;
    WaitForWindowOf(
        pid,
        [&] {
            for (HWND hWnd : TopLevelWindowsOf(pid))
            {
                if (!qfsupport::IsMessageBox(hWnd))
                    continue;
                info.hWnd = hWnd;
                info.caption = WindowText(hWnd);
                info.text = WindowText(::GetDlgItem(hWnd, 0xFFFF));
                ReadBoxLook(info);
                return true;
            }
            return false;
        },
        timeout);
    return info;
}

void AnswerMessageBox(const MessageBoxInfo& box)
{
    ASSERT_NE(box.hWnd, nullptr) << "no message box to answer";
    ::PostMessageW(box.hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box.hWnd, IDOK)));
    EXPECT_TRUE(WaitUntil([&] { return !::IsWindow(box.hWnd); })) << "the message box stayed open";
}

std::wstring ComErrorText(HRESULT hr)
{
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&buffer), 0,
        nullptr);
    if (length && buffer)
    {
        std::wstring text(buffer, length);
        ::LocalFree(buffer);
        if (!text.empty() && text.back() == L'\n')
        {
            text.pop_back();
            if (!text.empty() && text.back() == L'\r')
                text.pop_back();
        }
        return text;
    }
    wchar_t fallback[64]{};
    const auto code = static_cast<unsigned long>(hr);
    if (code >= 0x80040200UL && code <= 0x8004FFFFUL)
        std::swprintf(fallback, 64, L"IDispatch error #%d", static_cast<int>(code - 0x80040200UL));
    else
        std::swprintf(fallback, 64, L"Unknown error 0x%0lX", code);
    return fallback;
}

} // namespace qftest
