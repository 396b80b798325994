// The What's New panel's text: fetched from the publisher's server, read as
// text in the thread's ANSI code page, and given the line ends of an edit box.
#pragma once

#include <windows.h>

#include <string>

// What the What's New box is given at most. An edit box lays out a long line
// in time that grows with the square of its length, and a whole file of text
// in time that grows with its size, before the dialog can show: a publisher's
// mistake (the package served as the text) or a hostile network would keep
// the user looking at nothing for minutes. Real What's New texts are a few
// kilobytes of short lines and are shown whole.
constexpr DWORD kWhatsNewMaxBytes = 64 * 1024;     // of the text, fetched no further
constexpr size_t kWhatsNewMaxLineChars = 4 * 1024; // of one line; the text ends there

// How long the fetch may take before the dialog shows without it. The text
// is fetched before the dialog is visible, so whatever the server does
// (trickles, stalls, accepts and says nothing) the user waits no longer than
// this. Ten seconds carry the whole 64 KB bound over a link of 7 KB/s, a
// slow modem's, while a healthy server answers in well under a second.
constexpr DWORD kWhatsNewDeadlineMs = 10000;

// One answer fetched into memory by FetchTogether: at most nMaxBytes of it,
// and one byte more when it is longer (the transfer ends there). hr is S_OK
// only when the server delivered it, as FetchWhatsNew says.
struct BoundedText
{
    std::wstring strUrl;
    size_t nMaxBytes = 0;
    HRESULT hr = E_PENDING;
    std::string bytes;
};

// Fetches every answer at once, each on a thread of its own, and waits for
// them until nDeadlineMs after the start and no longer: one that is not
// complete by then is aborted and fails with ERROR_TIMEOUT. Nothing is kept
// in the cache.
void FetchTogether(BoundedText* pTexts, size_t nTexts, DWORD nDeadlineMs);

// Fetches the text at pszUrl into bytes: at most kWhatsNewMaxBytes of it,
// and one byte more when the text is longer (the transfer ends there), within
// kWhatsNewDeadlineMs. S_OK only when the server delivered it: an error page
// (HTTP 404, 500...), a body cut short, a deadline that passed before the
// text or its bound was complete, and a redirect from https:// to an address
// that is not all count as failures. Nothing is kept in the cache.
HRESULT FetchWhatsNew(LPCWSTR pszUrl, std::string& bytes);

// The text of the fetched bytes: those before the first zero byte, in the
// thread's ANSI code page. More than kWhatsNewMaxBytes bytes mean the text
// was cut at the bound: it then ends at the last whole character in the code
// page before it, and never between a CR and the LF that may follow it. The
// text ends after the kWhatsNewMaxLineChars-th character of its first longer
// line.
void ReadTextFromBytes(const std::string& bytes, std::wstring& strText);

// The text ends after the kWhatsNewMaxLineChars-th character of its first
// longer line. A line's end (LF, and a CR just before it) is not part of its
// length, and the cut never falls between the two halves of a surrogate pair.
void EndAtTheFirstOverlongLine(std::wstring& strText);

// The ANSI code page of the calling thread's locale as systems before
// Windows 2000, which lack CP_THREAD_ACP, find it: the locale's default ANSI
// code page, or the system's when that cannot be read.
UINT LegacyThreadAnsiCodePage(LCID lcid);

// Every LF becomes CR LF; a CR already in front is not looked at.
void ExpandLineFeeds(std::wstring& strText);
