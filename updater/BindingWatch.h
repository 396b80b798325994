// What every URL binding of the update program shares, whether it is the
// package's transfer or one of the fetches into memory (the What's New text,
// the package's signature): the binding kept so that another thread can cut
// it short, the HTTP status the server answered (through IHttpNegotiate, the
// only way the binding tells it), the refusal of a redirect from an https://
// address to one that is not, and the status callback that every binding is
// given, written once.
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
// cannot tell (no IWinInetInfo, or an address longer than any URL).
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
    // Any thread: aborts the binding now attached, and every one attached
    // after it until Reset (a stop, a deadline). The call is made outside the
    // lock: an abort may call back into the binding's status callback, which
    // detaches.
    void Abort();
    // From the binding's own callbacks: aborts the binding now attached, and
    // no later one (a refusal of what this binding brought).
    void AbortThis();
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
    bool m_bAborted = false;   // asked for, for every binding until Reset
    bool m_bAbortThis = false; // asked for, for the binding now attached
    bool m_bAbortMade = false; // made on the binding now attached
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
    // OnResponse: the status, and the address the answer comes from. A
    // binding of an https:// address that cannot tell where it has arrived
    // counts as downgraded: nothing shows that the answer came over https.
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

// The status callback of one binding: what every binding of the update
// program answers alike, written once. The binding is made to storage, as a
// stream the callback reads itself (nothing is read from or written to the
// cache, which could splice or replay an answer), and synchronously: Bind
// returns when it has ended. The callback answers for IBindStatusCallback
// (and IUnknown) and IHttpNegotiate, nothing else; IHttpSecurity least of
// all, so the binding refuses every certificate that Windows does not trust.
//
// A COM object of its own on the heap, not a stack object: when an abort
// made on another thread holds the binding's last reference, the binding
// gives back its references to the callback after Bind has returned. A call
// that comes after Bind has returned touches nothing of its caller's.
//
// Every entry point that the binding calls catches whatever the derived
// callback throws (memory that cannot be had, above all): nothing unwinds
// into urlmon. The binding then ends as refused with that code.
class CBindingCallback : public IBindStatusCallback, public IHttpNegotiate
{
public:
    CBindingCallback(const CBindingCallback&) = delete;
    CBindingCallback& operator=(const CBindingCallback&) = delete;

    // Binds to pszUrl and returns the binding's own result: S_OK when it ran
    // to its end, whatever the server answered. The binding is registered
    // with the CRunningBinding given at construction while it runs, so that
    // a stop request or a deadline can abort it.
    HRESULT Bind(LPCWSTR pszUrl);
    const CHttpAnswer& Answer() const { return m_answer; }
    // Why the callback ended the binding itself (S_OK when it did not): a
    // refusal of a derived callback, or what was thrown in one.
    HRESULT Refusal() const { return m_hrRefused; }
    // What OnStopBinding was told.
    HRESULT StopResult() const { return m_hrStop; }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) final;
    STDMETHODIMP_(ULONG) AddRef() final;
    STDMETHODIMP_(ULONG) Release() final;

    // IBindStatusCallback
    STDMETHODIMP OnStartBinding(DWORD, IBinding* pBinding) final;
    STDMETHODIMP GetPriority(LONG*) final { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) final { return S_OK; }
    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode, LPCWSTR szStatusText) final;
    STDMETHODIMP OnStopBinding(HRESULT hrResult, LPCWSTR) final;
    STDMETHODIMP GetBindInfo(DWORD* pgrfBINDF, BINDINFO* pBindInfo) final;
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* pMedium) final;
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) final { return S_OK; }

    // IHttpNegotiate
    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders) final;
    STDMETHODIMP OnResponse(DWORD dwResponseCode, LPCWSTR szResponseHeaders, LPCWSTR,
                            LPWSTR* pszAdditionalRequestHeaders) final;

protected:
    // pbStop, when given, is a stop request (or a deadline) that the next
    // callback answers by ending the binding.
    CBindingCallback(CRunningBinding& binding, const std::atomic<bool>* pbStop);
    virtual ~CBindingCallback() = default;

    // The derived callback's part; each may throw.
    // Headers to add to the request, each ending in CRLF.
    virtual std::wstring RequestHeaders() { return std::wstring(); }
    // The server's answer, once it has passed the downgrade check. A failure
    // ends the binding as refused with that code.
    virtual HRESULT Answered(DWORD /*dwStatus*/, LPCWSTR /*pszHeaders*/) { return S_OK; }
    // What the binding reports between the callbacks above and below.
    virtual void Reported(ULONG /*ulProgress*/, ULONG /*ulProgressMax*/, ULONG /*ulStatusCode*/) {}
    // Reads what the stream has now. A failure ends the binding as refused
    // with that code.
    virtual HRESULT Read(IStream* pStream) = 0;

    // Ends the binding from a callback: the binding is aborted, and the
    // callback that called this answers E_ABORT. The first code is kept.
    HRESULT Refuse(HRESULT hr);

private:
    // Whether a call may act for the caller of Bind: only while Bind runs,
    // and only until a stop, a deadline or a refusal.
    bool MayGoOn() const;
    // Runs a part of a callback with everything it throws caught.
    template <class TPart>
    HRESULT Guarded(const TPart& part);

    LONG m_nRefCount = 1;
    std::atomic<bool> m_bBinding{false};
    CRunningBinding& m_binding;
    const std::atomic<bool>* m_pbStop;
    CHttpAnswer m_answer;
    HRESULT m_hrRefused = S_OK;
    HRESULT m_hrStop = S_OK;
};
