#include "WindowSearch.h"

#include "Text.h"

#include <cstdio>
#include <set>

namespace qfsupport
{

std::vector<HWND> TopLevelWindowsOf(DWORD pid)
{
    struct Search
    {
        DWORD pid;
        std::vector<HWND> found;
    } search{pid, {}};
    ::EnumWindows(
        [](HWND hWnd, LPARAM lParam) CALLBACK -> BOOL {
            auto* s = reinterpret_cast<Search*>(lParam);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(hWnd, &owner);
            if (owner == s->pid)
                s->found.push_back(hWnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring ClassNameOf(HWND hWnd)
{
    wchar_t name[256]{};
    ::GetClassNameW(hWnd, name, 256);
    return name;
}

std::wstring WindowText(HWND hWnd)
{
    // GetWindowText does not read a control of another process.
    const auto length = ::SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const auto copied = ::SendMessageW(hWnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(copied));
    return text;
}

std::string DescribeWindowsOf(DWORD pid)
{
    std::string text;
    for (HWND hWnd : TopLevelWindowsOf(pid))
    {
        wchar_t title[256]{};
        ::InternalGetWindowText(hWnd, title, 256);
        char handle[32];
        std::snprintf(handle, sizeof(handle), "%#llx",
                      static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hWnd)));
        text += std::string("    window ") + handle + " class \"" + Utf8(ClassNameOf(hWnd)) + "\" title \"" +
                Utf8(title) + "\" " + (::IsWindowVisible(hWnd) ? "visible" : "hidden") + "\n";
    }
    return text.empty() ? "    no top-level window\n" : text;
}

bool IsMessageBox(HWND hWnd)
{
    return ClassNameOf(hWnd) == L"#32770" && ::IsWindowVisible(hWnd) && ::GetDlgItem(hWnd, 0xFFFF) &&
           ::GetDlgItem(hWnd, IDOK);
}

HWND FindVisibleDialog(DWORD pid, bool bMessageBox, const wchar_t* pszCaption)
{
    for (HWND hWnd : TopLevelWindowsOf(pid))
    {
        if (ClassNameOf(hWnd) != L"#32770" || !::IsWindowVisible(hWnd) || IsMessageBox(hWnd) != bMessageBox)
            continue;
        if (!pszCaption || WindowText(hWnd) == pszCaption)
            return hWnd;
    }
    return nullptr;
}

MessageBoxWatch::MessageBoxWatch(std::function<void(HWND)> onBox, std::chrono::milliseconds poll)
    : m_thread([this, onBox, poll] {
          std::set<HWND> seen;
          while (!m_bDone)
          {
              for (HWND hWnd : TopLevelWindowsOf(::GetCurrentProcessId()))
                  if (IsMessageBox(hWnd) && seen.insert(hWnd).second)
                      onBox(hWnd);
              std::this_thread::sleep_for(poll);
          }
      })
{
}

MessageBoxWatch::~MessageBoxWatch()
{
    m_bDone = true;
    m_thread.join();
}

} // namespace qfsupport
