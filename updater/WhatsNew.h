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

// Reads a whole file into strText. Returns false only when the file cannot be
// opened; a file whose size cannot be taken reads as empty.
bool ReadTextFile(LPCWSTR pszFileName, std::wstring& strText);

// The reading and conversion of an opened file of the given size (the low 32
// bits that GetFileSize gave); separate so that sizes no test file can have
// are tried too.
void ReadTextFromFile(HANDLE hFile, DWORD nSize, std::wstring& strText);

// The ANSI code page of the calling thread's locale as systems before
// Windows 2000, which lack CP_THREAD_ACP, find it: the locale's default ANSI
// code page, or the system's when that cannot be read.
UINT LegacyThreadAnsiCodePage(LCID lcid);

// Every LF becomes CR LF; a CR already in front is not looked at.
void ExpandLineFeeds(std::wstring& strText);
