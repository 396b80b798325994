// Walks through the update program the way a user would and leaves
// screenshots of what the user sees (BMP files, named by the step).
//   QuillfeedDemo.exe <output folder>
#include "Publisher.h"

#include <shlwapi.h>

#include <cstdio>
#include <string>

namespace
{
std::wstring g_outDir;

std::wstring ExeDir()
{
    wchar_t path[MAX_PATH]{};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    ::PathRemoveFileSpecW(path);
    return path;
}

template <typename Pred>
bool WaitFor(Pred pred, DWORD timeoutMs = 30000)
{
    const DWORD start = ::GetTickCount();
    while (!pred())
    {
        if (::GetTickCount() - start > timeoutMs)
            return false;
        ::Sleep(50);
    }
    return true;
}

HWND FindDialogOf(DWORD pid, const wchar_t* caption)
{
    struct Search { DWORD pid; const wchar_t* caption; HWND found; } s{pid, caption, nullptr};
    ::EnumWindows([](HWND hWnd, LPARAM lParam) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lParam);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(hWnd, &owner);
        wchar_t cls[64]{}, text[256]{};
        ::GetClassNameW(hWnd, cls, 64);
        ::GetWindowTextW(hWnd, text, 256);
        if (owner == s->pid && wcscmp(cls, L"#32770") == 0 && ::IsWindowVisible(hWnd) &&
            (!s->caption || wcscmp(text, s->caption) == 0))
        {
            s->found = hWnd;
            return FALSE;
        }
        return TRUE;
    }, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

// Saves what the screen shows of a window as a 24-bit BMP.
void Screenshot(HWND hWnd, const wchar_t* name)
{
    ::RedrawWindow(hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    ::Sleep(300); // let the program paint; only the picture depends on it
    RECT rc{};
    ::GetWindowRect(hWnd, &rc);
    const int cx = rc.right - rc.left, cy = rc.bottom - rc.top;
    HDC screen = ::GetDC(nullptr);
    HDC mem = ::CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = cx;
    bi.bmiHeader.biHeight = cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bmp = ::CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, bmp);
    ::BitBlt(mem, 0, 0, cx, cy, screen, rc.left, rc.top, SRCCOPY);
    ::SelectObject(mem, old);

    const DWORD stride = ((cx * 3 + 3) & ~3);
    const DWORD size = stride * cy;
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(fh) + sizeof(bi.bmiHeader);
    fh.bfSize = fh.bfOffBits + size;
    const std::wstring path = g_outDir + L"\\" + name + L".bmp";
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, &fh, sizeof(fh), &written, nullptr);
    ::WriteFile(file, &bi.bmiHeader, sizeof(bi.bmiHeader), &written, nullptr);
    ::WriteFile(file, bits, size, &written, nullptr);
    ::CloseHandle(file);
    ::DeleteObject(bmp);
    ::DeleteDC(mem);
    ::ReleaseDC(nullptr, screen);
    wprintf(L"  screenshot: %ls.png\n", name);
}

struct Updater
{
    PROCESS_INFORMATION pi{};
    HWND dialog = nullptr;
};

bool StartUpdater(Updater& u, const std::wstring& currentDir)
{
    std::wstring cmd = L"\"" + ExeDir() + L"\\..\\dist\\QuillfeedUpdater.exe\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          currentDir.c_str(), &si, &u.pi))
        return false;
    return WaitFor([&] { return (u.dialog = FindDialogOf(u.pi.dwProcessId, L"Quillfeed Automatic Update")) != nullptr; });
}

DWORD WaitForExit(Updater& u)
{
    DWORD code = STILL_ACTIVE;
    if (::WaitForSingleObject(u.pi.hProcess, 30000) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(u.pi.hProcess, &code);
    ::CloseHandle(u.pi.hThread);
    ::CloseHandle(u.pi.hProcess);
    return code;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        fwprintf(stderr, L"usage: QuillfeedDemo <output folder>\n");
        return 64;
    }
    g_outDir = argv[1];
    setvbuf(stdout, nullptr, _IONBF, 0);

    // The publisher's server, on loopback, with the sample What's New text.
    const std::wstring content = ExeDir() + L"\\publisher-content";
    qftest::Publisher publisher(content);
    wprintf(L"Loopback publisher serving %ls at %ls\n", content.c_str(), publisher.Url().c_str());

    // The user chose the zipped package last time.
    const std::wstring settings = g_outDir + L"\\Quillfeed.ini";
    ::WritePrivateProfileStringW(L"ActiveUpdater", L"Packaging", L"1", settings.c_str());
    wprintf(L"Settings file %ls: Packaging=1 (zipped version)\n", settings.c_str());

    wprintf(L"Starting QuillfeedUpdater.exe\n");
    Updater u;
    if (!StartUpdater(u, g_outDir))
    {
        wprintf(L"  the update dialog did not appear\n");
        return 1;
    }
    wprintf(L"  the dialog is shown; it fetched /whatsnew.txt %d time(s)\n", publisher.RequestCount("/whatsnew.txt"));
    const bool zipped = ::SendMessageW(::GetDlgItem(u.dialog, 1008), BM_GETCHECK, 0, 0) == BST_CHECKED;
    wprintf(L"  saved choice checked: %ls\n", zipped ? L"Zipped version" : L"(not the zipped version!)");
    Screenshot(u.dialog, L"1-updater-dialog");

    wprintf(L"Pressing Close\n");
    ::PostMessageW(::GetDlgItem(u.dialog, IDCANCEL), BM_CLICK, 0, 0);
    const DWORD code = WaitForExit(u);
    wprintf(L"  QuillfeedUpdater.exe ended with exit code %lu\n", code);
    return code == 2 ? 0 : 1;
}
