#include "BindingWatch.h"

#include <shlwapi.h>
#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace
{
bool IsHttps(LPCWSTR pszUrl)
{
    return pszUrl && ::StrCmpNIW(pszUrl, L"https://", 8) == 0;
}
} // namespace

bool IsDowngrade(LPCWSTR pszFrom, LPCWSTR pszTo)
{
    return IsHttps(pszFrom) && !IsHttps(pszTo);
}

std::wstring CurrentUrlOf(IBinding* pBinding)
{
    unique_com<IWinInetInfo> info;
    if (!pBinding ||
        FAILED(pBinding->QueryInterface(IID_IWinInetInfo, reinterpret_cast<void**>(info.addressof()))) || !info)
        return std::wstring();
    // INTERNET_MAX_URL_LENGTH characters, wide, and their terminator.
    wchar_t szUrl[2100] = {};
    DWORD cbUrl = sizeof(szUrl) - sizeof(wchar_t);
    if (FAILED(info.get()->QueryOption(INTERNET_OPTION_URL, szUrl, &cbUrl)))
        return std::wstring();
    // The option is the wide text where the binding keeps its handles wide,
    // and the narrow one elsewhere. An address starts with an ASCII letter,
    // so its wide form has a zero second byte and its narrow form does not.
    const char* pBytes = reinterpret_cast<const char*>(szUrl);
    if (pBytes[0] != '\0' && pBytes[1] != '\0')
    {
        std::wstring strUrl;
        for (size_t i = 0; i < sizeof(szUrl) && pBytes[i]; ++i)
            strUrl += static_cast<wchar_t>(static_cast<unsigned char>(pBytes[i]));
        return strUrl;
    }
    return std::wstring(szUrl, wcsnlen(szUrl, ARRAYSIZE(szUrl)));
}

void CRunningBinding::Attach(IBinding* pBinding)
{
    if (!pBinding)
        return;
    pBinding->AddRef();
    unique_com<IBinding> earlier;
    CCritSecLock lock(m_cs);
    earlier.reset(m_binding.release());
    m_binding.reset(pBinding);
    m_bUnderWay = false;
    m_bAbortMade = false;
}

void CRunningBinding::UnderWay()
{
    SetAndAbortIfDue(m_bUnderWay);
}

void CRunningBinding::Detach()
{
    unique_com<IBinding> binding;
    CCritSecLock lock(m_cs);
    binding.reset(m_binding.release());
    m_bUnderWay = false;
}

void CRunningBinding::Abort()
{
    SetAndAbortIfDue(m_bAborted);
}

void CRunningBinding::SetAndAbortIfDue(bool& bFlag)
{
    unique_com<IBinding> binding;
    {
        CCritSecLock lock(m_cs);
        bFlag = true;
        if (m_bAborted && m_bUnderWay && !m_bAbortMade && m_binding)
        {
            m_bAbortMade = true;
            m_binding.get()->AddRef();
            binding.reset(m_binding.get());
        }
    }
    if (binding)
        binding.get()->Abort();
}

void CRunningBinding::Reset()
{
    unique_com<IBinding> binding;
    CCritSecLock lock(m_cs);
    binding.reset(m_binding.release());
    m_bUnderWay = false;
    m_bAborted = false;
    m_bAbortMade = false;
}

unique_com<IBinding> CRunningBinding::Current() const
{
    CCritSecLock lock(m_cs);
    if (m_binding)
        m_binding.get()->AddRef();
    return unique_com<IBinding>(m_binding.get());
}

void CHttpAnswer::Begin(LPCWSTR pszUrl)
{
    m_strUrl = pszUrl ? pszUrl : L"";
    m_nStatus = 0;
    m_bDowngraded = false;
}

bool CHttpAnswer::Reached(LPCWSTR pszUrl, CRunningBinding& binding)
{
    if (!IsDowngrade(m_strUrl.c_str(), pszUrl))
        return true;
    m_bDowngraded = true;
    binding.Abort();
    return false;
}

void CHttpAnswer::Responded(DWORD dwStatus, CRunningBinding& binding)
{
    m_nStatus = dwStatus;
    // The binding follows redirects by itself and does not always say so
    // (the download call keeps BINDSTATUS_REDIRECTING to itself under some
    // systems); the address it has reached tells in any case.
    const std::wstring strReached = CurrentUrlOf(binding.Current().get());
    if (!strReached.empty())
        Reached(strReached.c_str(), binding);
}

unique_com<CBoundedFetch> CBoundedFetch::Create(size_t nMaxBytes, CRunningBinding& binding,
                                                const std::atomic<bool>* pbStop)
{
    return unique_com<CBoundedFetch>(new CBoundedFetch(nMaxBytes, binding, pbStop));
}

CBoundedFetch::CBoundedFetch(size_t nMaxBytes, CRunningBinding& binding, const std::atomic<bool>* pbStop)
    : m_nMaxBytes(nMaxBytes), m_binding(binding), m_pbStop(pbStop)
{
}

STDMETHODIMP_(ULONG) CBoundedFetch::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_nRefCount));
}

STDMETHODIMP_(ULONG) CBoundedFetch::Release()
{
    const LONG nCount = ::InterlockedDecrement(&m_nRefCount);
    if (nCount == 0)
        delete this;
    return static_cast<ULONG>(nCount);
}

HRESULT CBoundedFetch::Fetch(LPCWSTR pszUrl)
{
    m_bFetching = true;
    m_answer.Begin(pszUrl);
    unique_com<IMoniker> moniker;
    unique_com<IBindCtx> context;
    unique_com<IStream> stream;
    HRESULT hr = ::CreateURLMonikerEx(nullptr, pszUrl, moniker.addressof(), URL_MK_UNIFORM);
    if (SUCCEEDED(hr))
        hr = ::CreateAsyncBindCtx(0, this, nullptr, context.addressof());
    if (SUCCEEDED(hr))
    {
        hr = moniker.get()->BindToStorage(context.get(), nullptr, IID_IStream,
                                          reinterpret_cast<void**>(stream.addressof()));
        ::RevokeBindStatusCallback(context.get(), this);
    }
    m_binding.Detach();
    m_bFetching = false;
    m_hrBind = hr;
    return hr;
}

bool CBoundedFetch::Complete() const
{
    if (!m_answer.StatusIsSuccess() || m_answer.Downgraded())
        return false;
    // The bound is all that would be shown or checked: the rest was not awaited.
    if (TooLong())
        return true;
    if (FAILED(m_hrBind) || FAILED(m_hrStop))
        return false;
    return !m_bEnded || m_nExpected == 0 || m_nReceived >= m_nExpected;
}

STDMETHODIMP CBoundedFetch::OnStartBinding(DWORD, IBinding* pBinding)
{
    if (!m_bFetching)
        return E_ABORT;
    m_binding.Attach(pBinding);
    return S_OK;
}

STDMETHODIMP CBoundedFetch::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                                       LPCWSTR szStatusText)
{
    if (!m_bFetching)
        return E_ABORT;
    m_binding.UnderWay();
    if (m_pbStop && *m_pbStop)
        return E_ABORT;
    if (ulStatusCode == BINDSTATUS_REDIRECTING && !m_answer.Reached(szStatusText, m_binding))
        return E_ABORT;
    if (ulStatusCode == BINDSTATUS_ENDDOWNLOADDATA)
    {
        m_bEnded = true;
        m_nReceived = ulProgress;
        m_nExpected = ulProgressMax;
    }
    return S_OK;
}

STDMETHODIMP CBoundedFetch::OnStopBinding(HRESULT hrResult, LPCWSTR)
{
    if (!m_bFetching)
        return S_OK;
    m_hrStop = hrResult;
    m_binding.Detach();
    return S_OK;
}

STDMETHODIMP CBoundedFetch::GetBindInfo(DWORD* pgrfBINDF, BINDINFO* pBindInfo)
{
    // The publisher's current answer, never one from the cache, and never
    // stored there: synchronous, so the call returns with it.
    if (pgrfBINDF)
        *pgrfBINDF = BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE | BINDF_PRAGMA_NO_CACHE;
    if (pBindInfo && pBindInfo->cbSize >= sizeof(BINDINFO))
    {
        const ULONG cbSize = pBindInfo->cbSize;
        std::memset(pBindInfo, 0, cbSize);
        pBindInfo->cbSize = cbSize;
        pBindInfo->dwBindVerb = BINDVERB_GET;
    }
    return S_OK;
}

STDMETHODIMP CBoundedFetch::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* pMedium)
{
    if (!m_bFetching || TooLong())
        return E_ABORT;
    if (!pMedium || pMedium->tymed != TYMED_ISTREAM || !pMedium->pstm)
        return S_OK;
    // Called by the binding: nothing may unwind into it. Memory that cannot
    // be had ends the transfer as a failed one.
    try
    {
        char buffer[16 * 1024];
        while (!TooLong())
        {
            ULONG nRead = 0;
            const ULONG nWanted =
                static_cast<ULONG>(std::min<size_t>(sizeof(buffer), m_nMaxBytes + 1 - m_data.size()));
            const HRESULT hr = pMedium->pstm->Read(buffer, nWanted, &nRead);
            m_data.append(buffer, nRead);
            if (hr != S_OK || nRead == 0)
                break;
        }
    }
    catch (const std::bad_alloc&)
    {
        m_data.clear();
        m_hrStop = E_OUTOFMEMORY;
        m_binding.Abort();
        return E_OUTOFMEMORY;
    }
    // Whatever follows is not wanted, however much of it there is: the
    // failure stops the binding at once, where an abort alone may wait
    // behind a server that keeps the data coming.
    if (TooLong())
    {
        m_binding.Abort();
        return E_ABORT;
    }
    return S_OK;
}

STDMETHODIMP CBoundedFetch::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders)
{
    if (pszAdditionalHeaders)
        *pszAdditionalHeaders = nullptr;
    return S_OK;
}

STDMETHODIMP CBoundedFetch::OnResponse(DWORD dwResponseCode, LPCWSTR, LPCWSTR, LPWSTR* pszAdditionalRequestHeaders)
{
    if (pszAdditionalRequestHeaders)
        *pszAdditionalRequestHeaders = nullptr;
    if (m_bFetching)
        m_answer.Responded(dwResponseCode, m_binding);
    return S_OK;
}
