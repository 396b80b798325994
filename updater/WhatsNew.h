// The What's New panel's text: fetched from the publisher's server into a
// local cache file, read as text in the thread's ANSI code page, and given
// the line ends of an edit box.
#pragma once

#include <windows.h>

#include <string>

// Fetches the address into a local cache file and puts its name into
// szFileName. S_OK only when the server delivered the file: an error page
// (HTTP 404, 500...) counts as a failure.
HRESULT FetchToCacheFile(LPCWSTR pszUrl, LPWSTR szFileName, DWORD nBufferLength);

// What the What's New box is given at most. An edit box lays out a long line
// in time that grows with the square of its length, and a whole file of text
// in time that grows with its size, before the dialog can show: a publisher's
// mistake (the package served as the text) or a hostile network would keep
// the user looking at nothing for minutes. Real What's New texts are a few
// kilobytes of short lines and are shown whole.
constexpr DWORD kWhatsNewMaxBytes = 64 * 1024;        // of the file, read no further
constexpr size_t kWhatsNewMaxLineChars = 4 * 1024;    // of one line; the text ends there

// Reads a file into strText: its beginning, as far as the bounds above allow.
// Returns false only when the file cannot be opened; a file whose size cannot
// be taken reads as empty.
bool ReadTextFile(LPCWSTR pszFileName, std::wstring& strText);

// The reading and conversion of an opened file of the given size (the low 32
// bits that GetFileSize gave); separate so that sizes no test file can have
// are tried too. A file longer than kWhatsNewMaxBytes is cut at the last
// whole character in the code page before that bound, and never between a
// CR and the LF that may follow it; the text then ends after the
// kWhatsNewMaxLineChars-th character of its first longer line.
void ReadTextFromFile(HANDLE hFile, DWORD nSize, std::wstring& strText);

// The ANSI code page of the calling thread's locale as systems before
// Windows 2000, which lack CP_THREAD_ACP, find it: the locale's default ANSI
// code page, or the system's when that cannot be read.
UINT LegacyThreadAnsiCodePage(LCID lcid);

// Every LF becomes CR LF; a CR already in front is not looked at.
void ExpandLineFeeds(std::wstring& strText);
