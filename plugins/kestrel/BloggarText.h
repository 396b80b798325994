// What Kestrel hands to w.bloggar: the HTML quotation of an item, its narrow
// form, the new file it goes into, the editor's install folder as the
// registry holds it, and the command line that starts the editor.
#pragma once

#include "FeedItem.h"
#include "Owners.h"

#include <cstddef>
#include <string>

namespace qfplugin
{

// "<blockquote><a href='link'>title</a><br>description</blockquote>", for a
// file in codePage. Markup in the title and description is kept (feeds carry
// HTML there on purpose). Nothing in the link can end the attribute and add
// attributes of its own to the user's post: a single quote is written as
// &#39;, and so is every character that codePage has no exact byte for, as
// its own numeric reference (&#65287; for U+FF07), because the conversion's
// best fit would turn some of them into a single quote after the escaping.
std::wstring FormatQuotation(const FeedItem& item, UINT codePage);

// Which code page the quotation file is written in. Decided once per process;
// the code page itself is read from the calling thread's locale every time.
enum class CodePageRule : LONG
{
    Undecided = 0,
    ThreadAnsi = 1,    // Windows NT 5.0 and later: CP_THREAD_ACP
    LocaleDefault = 2, // older systems: the thread locale's default ANSI code page
};
CodePageRule CodePageRuleFor(DWORD platformId, DWORD majorVersion);
// The first call decides (one atomic exchange, so threads that race store the
// same answer); later calls return what was stored.
CodePageRule ProcessCodePageRule();
// The locale's LOCALE_IDEFAULTANSICODEPAGE text as a number; systemCodePage
// when the text is missing, not a number, or 0.
UINT ParseAnsiCodePage(const wchar_t* localeText, UINT systemCodePage);
// The code page for the next conversion on this thread.
UINT QuotationCodePage();

// The text in the code page, flags 0 and no default character, so a missing
// character becomes its best fit or the code page's default character. No
// terminating zero. Empty when the conversion fails.
std::string ToNarrow(const std::wstring& text, UINT codePage);

// A new file for the quotation in folder (which ends in a backslash), named
// as the platform names temporary files ("w", a number, ".tmp"), the numbers
// 1 to 0xFFFF tried in turn, from where first leads, until one is free.
// Created as new under a name that nothing had, never by opening a name
// again: a name made and closed before could be replaced with a link
// meanwhile, and the quotation written wherever it points. Open for writing
// and shared with readers only. Its path goes into path; no file and an empty
// path when every name is taken or the folder refuses the file.
unique_hfile CreateQuotationFile(const wchar_t* folder, UINT first, wchar_t (&path)[MAX_PATH]);

// The install folder buffer: 260 characters, terminator included.
constexpr std::size_t kInstallFolderChars = MAX_PATH;
// What RegQueryValueExW gave for "InstallPath", as a folder. A value that is
// missing or unusable (not REG_SZ/REG_EXPAND_SZ, not ending in a zero
// character, too long for the buffer) gives the empty folder, as a missing
// value does. Never reads past size bytes.
std::wstring InstallFolderFromValue(LONG status, DWORD type, const BYTE* data, DWORD size);

// "<folder>\wbloggar.exe", the folder used as stored (a trailing backslash is
// doubled, not normalised). Empty when the folder cannot be the one the user
// installed the editor in: empty (no usable value), not absolute ("x",
// "\x" and "C:x" name places that depend on the current drive and folder),
// holding a double quote (which would end the program's name on the command
// line), or too long for the path to fit MAX_PATH with its terminator.
std::wstring EditorProgramPath(const std::wstring& folder);

// Large enough for any program path that EditorProgramPath gives and any
// temporary file path (both under MAX_PATH) in "\"<program>\" \"<file>\"".
constexpr std::size_t kCommandLineChars = 2 * (MAX_PATH - 1) + 5 + 1;
static_assert(kCommandLineChars <= 32767, "CreateProcessW takes at most 32,767 characters");

// Fills buffer with "\"program\" \"file\"". False, with buffer untouched, when
// it would not fit in chars characters with its terminator.
bool FormatCommandLine(const wchar_t* program, const wchar_t* file, wchar_t* buffer, std::size_t chars);

} // namespace qfplugin
