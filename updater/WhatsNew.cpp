#include "WhatsNew.h"

#include "BindingWatch.h"
#include "Owners.h"

#include <urlmon.h>
#include <versionhelpers.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace
{
UINT ThreadAnsiCodePage()
{
    if (::IsWindowsVersionOrGreater(5, 0, 0))
        return CP_THREAD_ACP;
    return LegacyThreadAnsiCodePage(::GetThreadLocale());
}

// How many of the n bytes at p make whole characters of the code page: a
// double-byte character or a UTF-8 sequence that the bound cut in two is left
// out. Other code pages take every byte as a character.
DWORD WholeCharacterBytes(const char* p, DWORD n, UINT nCodePage)
{
    CPINFOEXW info{};
    if (!::GetCPInfoExW(nCodePage, 0, &info) || info.MaxCharSize < 2)
        return n;
    if (info.CodePage == CP_UTF8)
    {
        // Back to the lead byte of the last sequence; keep it only if whole.
        DWORD nLead = n;
        while (nLead > 0 && n - nLead < 3 && (static_cast<unsigned char>(p[nLead - 1]) & 0xC0) == 0x80)
            --nLead;
        if (nLead == 0)
            return n;
        const unsigned char lead = static_cast<unsigned char>(p[nLead - 1]);
        const DWORD nSequence = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        return n - (nLead - 1) < nSequence ? nLead - 1 : n;
    }
    DWORD i = 0;
    while (i < n)
    {
        const DWORD nStep = ::IsDBCSLeadByteEx(info.CodePage, static_cast<BYTE>(p[i])) ? 2 : 1;
        if (i + nStep > n)
            break;
        i += nStep;
    }
    return i;
}

// The deadline's end: the fetch's binding is aborted, from a thread of the pool.
VOID CALLBACK AbortAtTheDeadline(PVOID pBinding, BOOLEAN)
{
    static_cast<CRunningBinding*>(pBinding)->Abort();
}
} // namespace

HRESULT FetchWhatsNew(LPCWSTR pszUrl, std::string& bytes)
{
    CRunningBinding binding;
    const unique_com<CBoundedFetch> owner = CBoundedFetch::Create(kWhatsNewMaxBytes, binding);
    CBoundedFetch& fetch = *owner.get();
    HRESULT hr;
    {
        unique_queue_timer deadline;
        // Without its timer the fetch has only the system's own time-outs;
        // the text is not worth going without for that.
        if (!::CreateTimerQueueTimer(deadline.addressof(), nullptr, &AbortAtTheDeadline, &binding,
                                     kWhatsNewDeadlineMs, 0, WT_EXECUTEONLYONCE))
            return HRESULT_FROM_WIN32(::GetLastError());
        hr = fetch.Fetch(pszUrl);
    }  // the timer is gone, and a callback that ran has returned
    if (!fetch.Complete())
    {
        if (fetch.Answer().Downgraded())
            return kRedirectNotSecure;
        return FAILED(hr) ? hr : INET_E_DOWNLOAD_FAILURE;
    }
    bytes = fetch.Data();
    return S_OK;
}

void ReadTextFromBytes(const std::string& bytes, std::wstring& strText)
{
    const bool bCut = bytes.size() > kWhatsNewMaxBytes;
    DWORD nUsed = static_cast<DWORD>(bCut ? kWhatsNewMaxBytes : bytes.size());
    const UINT nCodePage = ThreadAnsiCodePage();
    if (bCut)
    {
        nUsed = WholeCharacterBytes(bytes.data(), nUsed, nCodePage);
        if (nUsed > 0 && bytes[nUsed - 1] == '\r')
            --nUsed;  // its LF may be the first byte left out
    }
    // The text ends at the first zero byte.
    const void* pZero = std::memchr(bytes.data(), '\0', nUsed);
    const int nBytes = static_cast<int>(pZero ? static_cast<const char*>(pZero) - bytes.data() : nUsed);
    if (nBytes == 0)
        return;
    const int nChars = ::MultiByteToWideChar(nCodePage, 0, bytes.data(), nBytes, nullptr, 0);
    if (nChars <= 0)
        return;
    std::wstring strConverted(static_cast<size_t>(nChars), L'\0');
    if (::MultiByteToWideChar(nCodePage, 0, bytes.data(), nBytes, &strConverted[0], nChars) != nChars)
        return;
    EndAtTheFirstOverlongLine(strConverted);
    strText = std::move(strConverted);
}

void EndAtTheFirstOverlongLine(std::wstring& strText)
{
    size_t nLineStart = 0;
    while (nLineStart < strText.size())
    {
        const size_t nLineEnd = strText.find(L'\n', nLineStart);
        size_t nContentEnd = nLineEnd == std::wstring::npos ? strText.size() : nLineEnd;
        if (nLineEnd != std::wstring::npos && nContentEnd > nLineStart && strText[nContentEnd - 1] == L'\r')
            --nContentEnd;
        if (nContentEnd - nLineStart > kWhatsNewMaxLineChars)
        {
            size_t nCut = nLineStart + kWhatsNewMaxLineChars;
            if (IS_HIGH_SURROGATE(strText[nCut - 1]) && IS_LOW_SURROGATE(strText[nCut]))
                --nCut;
            strText.resize(nCut);
            return;
        }
        if (nLineEnd == std::wstring::npos)
            return;
        nLineStart = nLineEnd + 1;
    }
}

UINT LegacyThreadAnsiCodePage(LCID lcid)
{
    wchar_t szCodePage[8] = {};
    if (::GetLocaleInfoW(lcid, LOCALE_IDEFAULTANSICODEPAGE, szCodePage, 8))
    {
        const UINT nCodePage = static_cast<UINT>(wcstoul(szCodePage, nullptr, 10));
        if (nCodePage)
            return nCodePage;
    }
    return ::GetACP();
}

void ExpandLineFeeds(std::wstring& strText)
{
    // One pass into a new string: inserting in place would move the whole
    // tail once per line.
    const size_t nLineFeeds = static_cast<size_t>(std::count(strText.begin(), strText.end(), L'\n'));
    if (nLineFeeds == 0)
        return;
    std::wstring strExpanded;
    strExpanded.reserve(strText.size() + nLineFeeds);
    for (const wchar_t ch : strText)
    {
        if (ch == L'\n')
            strExpanded.push_back(L'\r');
        strExpanded.push_back(ch);
    }
    strText.swap(strExpanded);
}
