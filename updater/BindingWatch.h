// What every URL binding of the update program shares, whether it is the
// package's download call or one of the synchronous fetches (the What's New
// text, the package's signature): the binding kept so that another thread can
// cut it short, the HTTP status the server answered (through IHttpNegotiate,
// the only way the binding tells it), and the refusal of a redirect from an
// https:// address to one that is not.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "Owners.h"
#include "framework/atlsync.h"

// HRESULT_FROM_WIN32(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR): a fetch of an
// https:// address was redirected to one that is not https://.
constexpr HRESULT kRedirectNotSecure = static_cast<HRESULT>(0x80072F08L);

// True when a binding that began at pszFrom (https://) was sent on to pszTo
// (anything else): the content would arrive over plain HTTP without a word.
// Every redirect from an http:// address is allowed.
bool IsDowngrade(LPCWSTR pszFrom, LPCWSTR pszTo);

// The address a binding has reached, as IWinInetInfo tells it: after any
// redirects, so this is where the answer comes from. Empty when the binding
// cannot tell.
std::wstring CurrentUrlOf(IBinding* pBinding);

// The binding a transfer is waiting on, kept from OnStartBinding to
// OnStopBinding so that another thread can abort it: a server that stalls
// sends no progress callback that could refuse to go on, so a stop request
// or a deadline must reach the binding itself. An abort is remembered until
// Reset. It reaches a binding only once the binding is under way (its first
// progress callback): an abort made between OnStartBinding and the start of
// the transfer is taken and then ignored, so until then it waits, and the
// binding's thread delivers it.
class CRunningBinding
{
public:
    CRunningBinding() = default;
    CRunningBinding(const CRunningBinding&) = delete;
    CRunningBinding& operator=(const CRunningBinding&) = delete;

    // From OnStartBinding, on the binding's thread.
    void Attach(IBinding* pBinding);
    // From every progress callback, on the binding's thread: the binding is
    // under way, and an abort that waited is made now.
    void UnderWay();
    // From OnStopBinding, and after the binding call returns.
    void Detach();
    // Any thread. The call is made outside the lock: an abort may call back
    // into the binding's status callback, which detaches.
    void Abort();
    // Before a new transfer, while none runs.
    void Reset();
    // The binding now running, with a reference of the caller's; null when none.
    unique_com<IBinding> Current() const;

private:
    // Sets the flag (under the lock), then makes the abort if it is now due
    // and not made yet: asked for, the binding under way (outside the lock).
    void SetAndAbortIfDue(bool& bFlag);

    mutable CCriticalSection m_cs;
    unique_com<IBinding> m_binding;
    bool m_bUnderWay = false;
    bool m_bAborted = false;      // asked for
    bool m_bAbortMade = false;    // made on the binding now attached
};

// What a binding learns about the server's answer. Its callbacks pass on
// what they are told; the one that began the binding reads the outcome.
class CHttpAnswer
{
public:
    // Before the binding of pszUrl starts.
    void Begin(LPCWSTR pszUrl);
    // BINDSTATUS_REDIRECTING and OnResponse report the address the binding
    // has reached. False, and the binding is aborted, when it is a downgrade.
    bool Reached(LPCWSTR pszUrl, CRunningBinding& binding);
    // OnResponse: the status, and the address the answer comes from.
    void Responded(DWORD dwStatus, CRunningBinding& binding);

    DWORD Status() const { return m_nStatus; }
    // A 2xx answer, or a binding without an HTTP status (the cache, a file).
    bool StatusIsSuccess() const { return m_nStatus == 0 || (m_nStatus >= 200 && m_nStatus <= 299); }
    bool Downgraded() const { return m_bDowngraded; }

private:
    std::wstring m_strUrl;
    DWORD m_nStatus = 0;
    bool m_bDowngraded = false;
};

// What a binding's status callback answers for: IBindStatusCallback (and
// IUnknown) and IHttpNegotiate, nothing else; IHttpSecurity least of all, so
// the binding refuses every certificate that Windows does not trust.
template <class TCallback>
HRESULT QueryBindingCallback(TCallback* pThis, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IBindStatusCallback))
        *ppv = static_cast<IBindStatusCallback*>(pThis);
    else if (::IsEqualIID(riid, IID_IHttpNegotiate))
        *ppv = static_cast<IHttpNegotiate*>(pThis);
    else
        return E_NOINTERFACE;
    pThis->AddRef();
    return S_OK;
}

// One synchronous fetch into memory: at most nMaxBytes of the answer are
// kept, and one byte more only tells that it is longer; the transfer is
// aborted then, so an endless answer costs no more. Nothing is read from or
// written to the cache. Stop requests and deadlines reach it through the
// CRunningBinding it registers with.
class CBoundedFetch final : public IBindStatusCallback, public IHttpNegotiate
{
public:
    // A COM object of its own, not a stack object: when an abort made on
    // another thread holds the binding's last reference, the binding gives
    // back its references to this callback after Fetch has returned. pbStop,
    // when given, is a stop request that the fetch answers.
    static unique_com<CBoundedFetch> Create(size_t nMaxBytes, CRunningBinding& binding,
                                            const std::atomic<bool>* pbStop = nullptr);
    CBoundedFetch(const CBoundedFetch&) = delete;
    CBoundedFetch& operator=(const CBoundedFetch&) = delete;

    // The binding's own result: S_OK when it ran to its end, whatever the
    // server answered; see the accessors for what arrived.
    HRESULT Fetch(LPCWSTR pszUrl);

    const std::string& Data() const { return m_data; }
    // More than nMaxBytes arrived (the data then holds nMaxBytes + 1).
    bool TooLong() const { return m_data.size() > m_nMaxBytes; }
    // The server answered 2xx and sent the whole body, as many bytes as it
    // announced, or the bound was reached first.
    bool Complete() const;
    const CHttpAnswer& Answer() const { return m_answer; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return QueryBindingCallback(this, riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP OnStartBinding(DWORD, IBinding* pBinding) override;
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode, LPCWSTR szStatusText) override;
    STDMETHODIMP OnStopBinding(HRESULT hrResult, LPCWSTR) override;
    STDMETHODIMP GetBindInfo(DWORD* pgrfBINDF, BINDINFO* pBindInfo) override;
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* pMedium) override;
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders) override;
    STDMETHODIMP OnResponse(DWORD dwResponseCode, LPCWSTR, LPCWSTR, LPWSTR* pszAdditionalRequestHeaders) override;

private:
    CBoundedFetch(size_t nMaxBytes, CRunningBinding& binding, const std::atomic<bool>* pbStop);
    ~CBoundedFetch() = default;

    LONG m_nRefCount = 1;
    // Only while Fetch runs: a call that comes later may not touch the
    // caller's binding record or stop flag, which may be gone.
    bool m_bFetching = false;
    const size_t m_nMaxBytes;
    CRunningBinding& m_binding;
    const std::atomic<bool>* m_pbStop;
    CHttpAnswer m_answer;
    std::string m_data;
    HRESULT m_hrBind = S_OK;
    HRESULT m_hrStop = S_OK;
    bool m_bEnded = false;
    ULONG m_nReceived = 0;
    ULONG m_nExpected = 0;
};
