#include "DownloadStatusCallBack.h"

#include <shlwapi.h>

#include <cwchar>
#include <new>

namespace
{
constexpr DWORD kBufferBytes = 64 * 1024;

// The value of one header in a raw CRLF-separated response header block.
bool FindHeader(LPCWSTR pszHeaders, LPCWSTR pszName, std::wstring& strValue)
{
    if (!pszHeaders)
        return false;
    const size_t nName = wcslen(pszName);
    for (LPCWSTR p = pszHeaders; *p;)
    {
        LPCWSTR pEnd = p;
        while (*pEnd && *pEnd != L'\r' && *pEnd != L'\n')
            ++pEnd;
        if (static_cast<size_t>(pEnd - p) > nName && ::StrCmpNIW(p, pszName, static_cast<int>(nName)) == 0 &&
            p[nName] == L':')
        {
            LPCWSTR pValue = p + nName + 1;
            while (pValue < pEnd && (*pValue == L' ' || *pValue == L'\t'))
                ++pValue;
            LPCWSTR pValueEnd = pEnd;
            while (pValueEnd > pValue && (pValueEnd[-1] == L' ' || pValueEnd[-1] == L'\t'))
                --pValueEnd;
            strValue.assign(pValue, pValueEnd);
            return true;
        }
        p = pEnd;
        while (*p == L'\r' || *p == L'\n')
            ++p;
    }
    return false;
}

// A whole decimal number at p, which moves past it.
bool ReadNumber(LPCWSTR& p, ULONGLONG& n)
{
    if (*p < L'0' || *p > L'9')
        return false;
    wchar_t* pEnd = nullptr;
    n = wcstoull(p, &pEnd, 10);
    p = pEnd;
    return true;
}

bool IsSuccess(DWORD dwStatus)
{
    return dwStatus >= 200 && dwStatus <= 299;
}

HRESULT StatusError(DWORD dwStatus)
{
    return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_HTTP, dwStatus & 0xFFFF);
}
} // namespace

PackageAnswer ReadPackageAnswer(DWORD dwStatus, LPCWSTR pszHeaders)
{
    PackageAnswer answer;
    std::wstring strValue;
    const bool bEncoded = FindHeader(pszHeaders, L"Content-Encoding", strValue) &&
                          ::StrCmpIW(strValue.c_str(), L"identity") != 0;
    if (dwStatus != 304 && !bEncoded && FindHeader(pszHeaders, L"Content-Length", strValue))
    {
        LPCWSTR p = strValue.c_str();
        answer.bLengthKnown = ReadNumber(p, answer.nLength) && *p == L'\0';
    }
    answer.bRanges = FindHeader(pszHeaders, L"Accept-Ranges", strValue) && ::StrStrIW(strValue.c_str(), L"bytes");
    // A weak ETag may not name a version for a range (it says the content is
    // equivalent, not the same bytes).
    if (FindHeader(pszHeaders, L"ETag", strValue) && !strValue.empty() && strValue.compare(0, 2, L"W/") != 0)
        answer.strValidator = strValue;
    else if (FindHeader(pszHeaders, L"Last-Modified", strValue))
        answer.strValidator = strValue;
    // "bytes FIRST-LAST/TOTAL", of a range that runs to the package's end.
    if (FindHeader(pszHeaders, L"Content-Range", strValue) && strValue.compare(0, 6, L"bytes ") == 0)
    {
        LPCWSTR p = strValue.c_str() + 6;
        ULONGLONG nLast = 0;
        answer.bRangeKnown = ReadNumber(p, answer.nFirst) && *p++ == L'-' && ReadNumber(p, nLast) && *p++ == L'/' &&
                             ReadNumber(p, answer.nTotal) && *p == L'\0' && answer.nFirst <= nLast &&
                             nLast + 1 == answer.nTotal;
    }
    return answer;
}

AnswerUse UseOfAnswer(DWORD dwStatus, const PackageAnswer& answer, ULONGLONG nHave, const ServedPackage& served)
{
    // 0: an address without HTTP (a file), which answers with the whole.
    const bool bWhole = dwStatus == 0 || (IsSuccess(dwStatus) && dwStatus != 206);
    if (nHave == 0)
        return bWhole ? AnswerUse::Whole : AnswerUse::Refuse;
    if (bWhole)
        return AnswerUse::Whole;
    if (dwStatus == 416)
        return AnswerUse::StartOver;
    if (dwStatus != 206 || !answer.bRangeKnown || answer.nFirst != nHave || answer.nTotal != served.nLength)
        return AnswerUse::Refuse;
    // A server that ignores If-Range sends a range of whatever it has now.
    return answer.strValidator == served.strValidator ? AnswerUse::Append : AnswerUse::StartOver;
}

unique_com<CDownloadStatusCallBack> CDownloadStatusCallBack::Create(CPackageFile& package, ServedPackage& served,
                                                                    CProgressLine& progress, CRunningBinding& binding,
                                                                    const std::atomic<bool>& bStop)
{
    return unique_com<CDownloadStatusCallBack>(
        new CDownloadStatusCallBack(package, served, progress, binding, bStop));
}

CDownloadStatusCallBack::CDownloadStatusCallBack(CPackageFile& package, ServedPackage& served,
                                                 CProgressLine& progress, CRunningBinding& binding,
                                                 const std::atomic<bool>& bStop)
    : CBindingCallback(binding, &bStop), m_package(package), m_served(served), m_progress(progress), m_bStop(bStop),
      m_buffer(new BYTE[kBufferBytes])
{
}

HRESULT CDownloadStatusCallBack::Transfer(LPCWSTR pszUrl)
{
    // Only a package begun by a server that can resume is continued;
    // anything else there is of no use.
    m_nHave = m_served.CanResume() ? m_package.Length() : 0;
    if (m_nHave == 0 && m_package.Length() != 0)
    {
        const HRESULT hr = m_package.Restart();
        if (FAILED(hr))
            return hr;
    }
    const HRESULT hr = Bind(pszUrl);
    if (m_bStop)
        return E_ABORT;
    if (Answer().Downgraded())
        return kRedirectNotSecure;
    if (FAILED(Refusal()))
        return Refusal();
    // All the bytes announced are there, whatever the connection did after.
    if (m_bEndKnown && m_package.Length() == m_nEnd)
        return S_OK;
    // Without an announced length (or HTTP: a file) the end of the
    // connection ends the body.
    if (SUCCEEDED(hr) && !m_bEndKnown)
        return S_OK;
    // A body cut short, a connection lost, or one that a retry could not make.
    m_bEndedEarly = m_bAnswered || m_nHave != 0;
    return FAILED(hr) ? hr : INET_E_DOWNLOAD_FAILURE;
}

std::wstring CDownloadStatusCallBack::RequestHeaders()
{
    if (m_nHave == 0)
        return std::wstring();
    return L"Range: bytes=" + std::to_wstring(m_nHave) + L"-\r\nIf-Range: " + m_served.strValidator + L"\r\n";
}

HRESULT CDownloadStatusCallBack::Answered(DWORD dwStatus, LPCWSTR pszHeaders)
{
    m_bAnswered = true;
    const PackageAnswer answer = ReadPackageAnswer(dwStatus, pszHeaders);
    switch (UseOfAnswer(dwStatus, answer, m_nHave, m_served))
    {
    case AnswerUse::Whole: {
        // A body announced longer or shorter than the package must be is
        // refused before a byte of it is written. (A range's total is the
        // length of this whole body, so it needs no check of its own.)
        HRESULT hr = answer.bLengthKnown ? m_package.CheckAnnouncedLength(answer.nLength) : S_OK;
        if (FAILED(hr))
            return hr;
        if (m_package.Length() != 0)
        {
            hr = m_package.Restart();
            if (FAILED(hr))
                return hr;
        }
        m_served.strValidator = answer.strValidator;
        m_served.bRanges = answer.bRanges;
        m_served.bLengthKnown = answer.bLengthKnown;
        m_served.nLength = answer.nLength;
        m_bEndKnown = answer.bLengthKnown;
        m_nEnd = answer.nLength;
        return S_OK;
    }
    case AnswerUse::Append:
        m_bEndKnown = true;
        m_nEnd = m_served.nLength;
        return S_OK;
    case AnswerUse::StartOver: m_bStartsOver = true; return INET_E_DOWNLOAD_FAILURE;
    case AnswerUse::Refuse:
    default: return IsSuccess(dwStatus) ? INET_E_DOWNLOAD_FAILURE : StatusError(dwStatus);
    }
}

HRESULT CDownloadStatusCallBack::Read(IStream* pStream)
{
    HRESULT hrWrite = S_OK;
    for (;;)
    {
        ULONG nRead = 0;
        const HRESULT hr = pStream->Read(m_buffer.get(), kBufferBytes, &nRead);
        if (nRead)
        {
            // A body longer than announced is cut at the announced length.
            // (The binding itself reads no further than Content-Length, so
            // no server here can send more.)
            if (m_bEndKnown && nRead > m_nEnd - m_package.Length())
            {
                nRead = static_cast<ULONG>(m_nEnd - m_package.Length());
                hrWrite = INET_E_DOWNLOAD_FAILURE;
            }
            const HRESULT hrBlock = m_package.Write(m_buffer.get(), nRead);
            if (FAILED(hrBlock))
                hrWrite = hrBlock;
        }
        if (FAILED(hrWrite) || hr != S_OK || nRead == 0)
            break;
    }
    m_progress.Received(m_package.Length(), m_served.bLengthKnown ? m_served.nLength : 0);
    return hrWrite;
}
