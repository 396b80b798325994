// Finding a program's windows from outside it, as a user's eye would: its
// top-level windows, their class and text, its dialogs and message boxes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qfsupport
{

std::vector<HWND> TopLevelWindowsOf(DWORD pid);
std::wstring ClassNameOf(HWND hWnd);
// The window's text, read with WM_GETTEXT, which works across processes.
std::wstring WindowText(HWND hWnd);

// A visible dialog window (#32770) that is a message box: it has the box's
// text static (0xFFFF) and an OK button.
bool IsMessageBox(HWND hWnd);
// The first visible dialog of the process that is (or is not) a message box,
// with that caption when one is given; null when there is none.
HWND FindVisibleDialog(DWORD pid, bool bMessageBox, const wchar_t* pszCaption = nullptr);

} // namespace qfsupport
