// Stands in for the feed reader: a top-level window of the reader's frame
// class that writes down each WM_CLOSE it receives (reader.txt) and then
// closes, as the reader would.
#include "Record.h"

namespace
{
LRESULT CALLBACK FrameProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg)
    {
    case WM_CLOSE:
        standin::AppendRecord(L"reader.txt", L"WM_CLOSE");
        ::DestroyWindow(hWnd);
        return 0;
    case WM_DESTROY: ::PostQuitMessage(0); return 0;
    default: return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}
} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int nCmdShow)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = FrameProc;
    wc.hInstance = hInstance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    // The reader's own class name, spelt as the reader spells it, not taken
    // from the update program: a stand-in is a witness of the program's spelling.
    wc.lpszClassName = L"Quillfeed_FrameWindowClass";
    if (!::RegisterClassW(&wc))
        return 3;
    HWND hWnd = ::CreateWindowExW(0, wc.lpszClassName, L"Quillfeed (feed reader stand-in)", WS_OVERLAPPEDWINDOW, 40,
                                  40, 420, 200, nullptr, nullptr, hInstance, nullptr);
    if (!hWnd)
        return 4;
    ::ShowWindow(hWnd, nCmdShow);
    standin::AppendRecord(L"reader.txt", L"started");

    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return 0;
}
