#include "WhatsNew.h"

#include "HttpBindingWatch.h"
#include "Owners.h"

#include <urlmon.h>
#include <versionhelpers.h>
#include <wininet.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

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

// The text ends after the kWhatsNewMaxLineChars-th character of its first
// longer line (never between the two halves of a surrogate pair).
void EndAtTheFirstOverlongLine(std::wstring& strText)
{
    size_t nLineStart = 0;
    while (nLineStart < strText.size())
    {
        const size_t nLineEnd = strText.find(L'\n', nLineStart);
        const size_t nLength = (nLineEnd == std::wstring::npos ? strText.size() : nLineEnd) - nLineStart;
        if (nLength > kWhatsNewMaxLineChars)
        {
            size_t nCut = nLineStart + kWhatsNewMaxLineChars;
            if (IS_HIGH_SURROGATE(strText[nCut - 1]))
                --nCut;
            strText.resize(nCut);
            return;
        }
        if (nLineEnd == std::wstring::npos)
            return;
        nLineStart = nLineEnd + 1;
    }
}

// Watches the transfer only to learn whether the server delivered the file:
// the platform saves an error page, or a body cut short, as if it were the
// file and still reports success.
class CHttpStatusWatch final : public CHttpBindingWatch
{
public:
    bool m_bEnded = false;
    ULONG m_nReceived = 0;
    ULONG m_nExpected = 0;

    // The server answered 200 and delivered as many bytes as it announced.
    bool Delivered() const
    {
        if (!StatusIsSuccess() || FAILED(m_hrStop))
            return false;
        return !m_bEnded || m_nExpected == 0 || m_nReceived >= m_nExpected;
    }

    STDMETHODIMP OnProgress(ULONG nProgress, ULONG nProgressMax, ULONG nStatusCode, LPCWSTR) override
    {
        if (nStatusCode == BINDSTATUS_ENDDOWNLOADDATA)
        {
            m_bEnded = true;
            m_nReceived = nProgress;
            m_nExpected = nProgressMax;
        }
        return S_OK;
    }
};
} // namespace

HRESULT FetchToCacheFile(LPCWSTR pszUrl, LPWSTR szFileName, DWORD nBufferLength)
{
    CHttpStatusWatch watch;
    HRESULT hr = ::URLDownloadToCacheFileW(nullptr, pszUrl, szFileName, nBufferLength, 0, &watch);
    if (hr == S_OK && !watch.Delivered())
        hr = INET_E_DOWNLOAD_FAILURE;
    return hr;
}

bool ReadTextFile(LPCWSTR pszFileName, std::wstring& strText)
{
    unique_hfile file(::CreateFileW(pszFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return false;
    ReadTextFromFile(file.get(), ::GetFileSize(file.get(), nullptr), strText);
    return true;
}

void ReadTextFromFile(HANDLE hFile, DWORD nSize, std::wstring& strText)
{
    // INVALID_FILE_SIZE is both "cannot be read" and a real size of 4 GiB - 1;
    // either way size + 1 would wrap to 0 and the terminator would land
    // outside the buffer, so such a file reads as empty.
    if (nSize == INVALID_FILE_SIZE)
        return;
    const bool bCut = nSize > kWhatsNewMaxBytes;
    const DWORD nWanted = bCut ? kWhatsNewMaxBytes : nSize;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[nWanted + 1]);
    if (!buffer)
        return;
    // The last byte is the terminator's: a file that grew since its size was
    // taken is read only as far as that size.
    DWORD nRead = 0;
    if (!::ReadFile(hFile, buffer.get(), nWanted, &nRead, nullptr))
        nRead = 0;

    const UINT nCodePage = ThreadAnsiCodePage();
    if (bCut)
    {
        nRead = WholeCharacterBytes(buffer.get(), nRead, nCodePage);
        if (nRead > 0 && buffer[nRead - 1] == '\r')
            --nRead;  // its LF may be the first byte left out
    }
    buffer[nRead] = '\0';

    const int nChars = ::MultiByteToWideChar(nCodePage, 0, buffer.get(), -1, nullptr, 0);
    if (nChars <= 1)
        return;
    std::wstring strConverted(static_cast<size_t>(nChars), L'\0');
    if (::MultiByteToWideChar(nCodePage, 0, buffer.get(), -1, &strConverted[0], nChars) != nChars)
        return;
    strConverted.resize(static_cast<size_t>(nChars) - 1);
    EndAtTheFirstOverlongLine(strConverted);
    strText = std::move(strConverted);
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
