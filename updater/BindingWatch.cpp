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
    if (!pBinding || FAILED(pBinding->QueryInterface(IID_IWinInetInfo, reinterpret_cast<void**>(info.addressof()))) ||
        !info)
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
    m_bAbortThis = false;
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
    m_bAbortThis = false;
}

void CRunningBinding::Abort()
{
    SetAndAbortIfDue(m_bAborted);
}

void CRunningBinding::AbortThis()
{
    SetAndAbortIfDue(m_bAbortThis);
}

void CRunningBinding::SetAndAbortIfDue(bool& bFlag)
{
    unique_com<IBinding> binding;
    {
        CCritSecLock lock(m_cs);
        bFlag = true;
        if ((m_bAborted || m_bAbortThis) && m_bUnderWay && !m_bAbortMade && m_binding)
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
    m_bAbortThis = false;
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
    // The binding follows redirects by itself and does not always say so;
    // the address it has reached tells in any case. One that cannot be told
    // is no address at all, which only an http:// binding may arrive at.
    Reached(CurrentUrlOf(binding.Current().get()).c_str(), binding);
}

CBindingCallback::CBindingCallback(CRunningBinding& binding, const std::atomic<bool>* pbStop)
    : m_binding(binding), m_pbStop(pbStop)
{
}

HRESULT CBindingCallback::Bind(LPCWSTR pszUrl)
{
    m_bBinding = true;
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
    m_bBinding = false;
    return hr;
}

bool CBindingCallback::MayGoOn() const
{
    return m_bBinding && !(m_pbStop && *m_pbStop) && m_hrRefused == S_OK && !m_answer.Downgraded();
}

HRESULT CBindingCallback::Refuse(HRESULT hr)
{
    if (m_hrRefused == S_OK)
        m_hrRefused = hr;
    m_binding.AbortThis();
    return E_ABORT;
}

template <class TPart>
HRESULT CBindingCallback::Guarded(const TPart& part)
{
    try
    {
        return part();
    }
    catch (const std::bad_alloc&)
    {
        return Refuse(E_OUTOFMEMORY);
    }
    catch (...)
    {
        return Refuse(E_UNEXPECTED);
    }
}

STDMETHODIMP CBindingCallback::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IBindStatusCallback))
        *ppv = static_cast<IBindStatusCallback*>(this);
    else if (::IsEqualIID(riid, IID_IHttpNegotiate))
        *ppv = static_cast<IHttpNegotiate*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CBindingCallback::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_nRefCount));
}

STDMETHODIMP_(ULONG) CBindingCallback::Release()
{
    const LONG nCount = ::InterlockedDecrement(&m_nRefCount);
    if (nCount == 0)
        delete this;
    return static_cast<ULONG>(nCount);
}

STDMETHODIMP CBindingCallback::OnStartBinding(DWORD, IBinding* pBinding)
{
    if (!m_bBinding)
        return E_ABORT;
    m_binding.Attach(pBinding);
    return S_OK;
}

STDMETHODIMP CBindingCallback::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                                          LPCWSTR szStatusText)
{
    if (!m_bBinding)
        return E_ABORT;
    m_binding.UnderWay();
    if (!MayGoOn())
        return E_ABORT;
    if (ulStatusCode == BINDSTATUS_REDIRECTING && !m_answer.Reached(szStatusText, m_binding))
        return E_ABORT;
    return Guarded([&] {
        Reported(ulProgress, ulProgressMax, ulStatusCode);
        return S_OK;
    });
}

STDMETHODIMP CBindingCallback::OnStopBinding(HRESULT hrResult, LPCWSTR)
{
    if (!m_bBinding)
        return S_OK;
    m_hrStop = hrResult;
    m_binding.Detach();
    return S_OK;
}

STDMETHODIMP CBindingCallback::GetBindInfo(DWORD* pgrfBINDF, BINDINFO* pBindInfo)
{
    // The publisher's current answer, never one from the cache, and never
    // stored there: synchronous, so that Bind returns with it.
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

STDMETHODIMP CBindingCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* pMedium)
{
    // Whatever follows a stop, a deadline or a refusal is not read: the
    // failure stops the binding at once, where an abort alone may wait
    // behind a server that keeps the data coming.
    if (!MayGoOn())
    {
        m_binding.AbortThis();
        return E_ABORT;
    }
    if (!pMedium || pMedium->tymed != TYMED_ISTREAM || !pMedium->pstm)
        return S_OK;
    return Guarded([&] {
        const HRESULT hr = Read(pMedium->pstm);
        return FAILED(hr) ? Refuse(hr) : S_OK;
    });
}

STDMETHODIMP CBindingCallback::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders)
{
    if (!pszAdditionalHeaders)
        return E_POINTER;
    *pszAdditionalHeaders = nullptr;
    if (!MayGoOn())
        return E_ABORT;
    return Guarded([&] {
        const std::wstring strHeaders = RequestHeaders();
        if (strHeaders.empty())
            return S_OK;
        // The binding frees them with the task allocator.
        const size_t cbHeaders = (strHeaders.size() + 1) * sizeof(wchar_t);
        LPWSTR pszHeaders = static_cast<LPWSTR>(::CoTaskMemAlloc(cbHeaders));
        if (!pszHeaders)
            return Refuse(E_OUTOFMEMORY);
        std::memcpy(pszHeaders, strHeaders.c_str(), cbHeaders);
        *pszAdditionalHeaders = pszHeaders;
        return S_OK;
    });
}

STDMETHODIMP CBindingCallback::OnResponse(DWORD dwResponseCode, LPCWSTR szResponseHeaders, LPCWSTR,
                                          LPWSTR* pszAdditionalRequestHeaders)
{
    if (pszAdditionalRequestHeaders)
        *pszAdditionalRequestHeaders = nullptr;
    if (!MayGoOn())
        return E_ABORT;
    return Guarded([&] {
        m_answer.Responded(dwResponseCode, m_binding);
        if (m_answer.Downgraded())
            return E_ABORT;
        const HRESULT hr = Answered(dwResponseCode, szResponseHeaders);
        return FAILED(hr) ? Refuse(hr) : S_OK;
    });
}
