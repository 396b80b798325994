#include "WhatsNew.h"

#include <objbase.h>
#include <urlmon.h>

#include "BoundedFetch.h"
#include "Owners.h"

#include <versionhelpers.h>

#include <process.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// One fetch on a thread of its own. The dialog's thread waits for it until
// the deadline and no longer, whatever the binding does: a server that keeps
// the data coming fast can hold a binding's callbacks, and an abort with
// them, for minutes. Both threads hold a reference; whichever lets go last
// deletes it, so a fetch left behind at the deadline ends on its own thread,
// touching nothing but itself, and reads nothing more: the deadline refuses
// its next callback.
class CTextFetch
{
public:
    CTextFetch(const std::wstring& strUrl, size_t nMaxBytes) : m_strUrl(strUrl), m_nMaxBytes(nMaxBytes) {}
    CTextFetch(const CTextFetch&) = delete;
    CTextFetch& operator=(const CTextFetch&) = delete;

    void AddRef() { ::InterlockedIncrement(&m_nRefCount); }
    void Release()
    {
        if (::InterlockedDecrement(&m_nRefCount) == 0)
            delete this;
    }

    static unsigned __stdcall ThreadProc(void* pParam)
    {
        CTextFetch* pThis = static_cast<CTextFetch*>(pParam);
        pThis->Fetch();
        pThis->Release();
        return 0;
    }

    // Once the thread has ended.
    HRESULT Result(std::string& bytes) const
    {
        if (FAILED(m_hr))
            return m_hr;
        const CBoundedFetch& fetch = *m_fetch.get();
        if (!fetch.Complete())
            return fetch.Answer().Downgraded() ? kRedirectNotSecure
                   : FAILED(m_hrBind)          ? m_hrBind
                                               : INET_E_DOWNLOAD_FAILURE;
        bytes = fetch.Data();
        return S_OK;
    }

    // The dialog's thread gives up on the fetch. (Wine takes an abort from
    // another thread within milliseconds, a stalled binding's and a fast
    // endless one's alike, so no test here sees the flag at work.)
    void Abandon()
    {
        m_bLate = true;
        m_binding.Abort();
    }

private:
    ~CTextFetch() = default;

    void Fetch()
    {
        // A thread that uses COM objects joins an apartment first. (Wine's
        // urlmon works without, so no test here sees it missing.)
        const unique_com_init com(COINIT_MULTITHREADED);
        // Nothing may leave a thread routine by exception.
        try
        {
            m_fetch = CBoundedFetch::Create(m_nMaxBytes, m_binding, &m_bLate);
            m_hrBind = m_fetch.get()->Fetch(m_strUrl.c_str());
            m_hr = S_OK;
        }
        catch (...)
        {
            m_hr = E_OUTOFMEMORY;
        }
    }

    LONG m_nRefCount = 1;
    const std::wstring m_strUrl;
    const size_t m_nMaxBytes;
    CRunningBinding m_binding;
    std::atomic<bool> m_bLate{false};
    unique_com<CBoundedFetch> m_fetch;
    HRESULT m_hr = E_PENDING;
    HRESULT m_hrBind = S_OK;
};

// A fetch and its thread, once started.
struct CStartedFetch
{
    unique_com<CTextFetch> fetch;
    unique_handle thread;
};
} // namespace

void FetchTogether(BoundedText* pTexts, size_t nTexts, DWORD nDeadlineMs)
{
    // Everything that may throw comes before the first thread starts: a
    // thread is never left without the abort that its deadline owes it.
    std::vector<CStartedFetch> started(nTexts);
    for (size_t i = 0; i < nTexts; ++i)
        started[i].fetch.reset(new CTextFetch(pTexts[i].strUrl, pTexts[i].nMaxBytes));
    for (size_t i = 0; i < nTexts; ++i)
    {
        CTextFetch* pFetch = started[i].fetch.get();
        pFetch->AddRef(); // the thread's
        started[i].thread.reset(
            reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, &CTextFetch::ThreadProc, pFetch, 0, nullptr)));
        if (!started[i].thread)
            pFetch->Release(); // the thread's, which never ran
    }
    const DWORD nStart = ::GetTickCount();
    for (size_t i = 0; i < nTexts; ++i)
    {
        if (!started[i].thread)
        {
            pTexts[i].hr = E_OUTOFMEMORY;
            continue;
        }
        const DWORD nElapsed = ::GetTickCount() - nStart;
        const DWORD nLeft = nElapsed < nDeadlineMs ? nDeadlineMs - nElapsed : 0;
        if (::WaitForSingleObject(started[i].thread.get(), nLeft) != WAIT_OBJECT_0)
        {
            // Left to end on its own thread once its binding takes the abort,
            // or its next callback the refusal.
            started[i].fetch.get()->Abandon();
            pTexts[i].hr = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
            continue;
        }
        pTexts[i].hr = started[i].fetch.get()->Result(pTexts[i].bytes);
    }
}

HRESULT FetchWhatsNew(LPCWSTR pszUrl, std::string& bytes)
{
    BoundedText text;
    text.strUrl = pszUrl;
    text.nMaxBytes = kWhatsNewMaxBytes;
    FetchTogether(&text, 1, kWhatsNewDeadlineMs);
    if (text.hr == S_OK)
        bytes.swap(text.bytes);
    return text.hr;
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
            --nUsed; // its LF may be the first byte left out
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
