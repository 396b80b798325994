// The status callback of one synchronous URL binding, held on the caller's
// stack: it learns the HTTP status (through IHttpNegotiate, the only way the
// binding tells it) and how the binding ended. It answers for nothing else,
// IHttpSecurity included, so the binding refuses every certificate that
// Windows does not trust. A watcher that needs more overrides the calls it
// is about.
#pragma once

#include <windows.h>
#include <urlmon.h>

// What a binding's status callback answers for: IBindStatusCallback (and
// IUnknown) and IHttpNegotiate, nothing else.
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

class CHttpBindingWatch : public IBindStatusCallback, public IHttpNegotiate
{
public:
    DWORD m_nStatus = 0;      // 0 until the server answers, and for a binding that is not HTTP
    HRESULT m_hrStop = S_OK;  // how the binding ended

    // A 2xx answer, or a binding without an HTTP status.
    bool StatusIsSuccess() const { return m_nStatus == 0 || (m_nStatus >= 200 && m_nStatus <= 299); }

    // A stack object that outlives the binding: the counts only keep COM's
    // bookkeeping honest.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return QueryBindingCallback(this, riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return S_OK; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
    STDMETHODIMP OnStopBinding(HRESULT hrResult, LPCWSTR) override
    {
        m_hrStop = hrResult;
        return S_OK;
    }
    STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders) override
    {
        if (pszAdditionalHeaders)
            *pszAdditionalHeaders = nullptr;
        return S_OK;
    }
    STDMETHODIMP OnResponse(DWORD dwResponseCode, LPCWSTR, LPCWSTR, LPWSTR* pszAdditionalRequestHeaders) override
    {
        m_nStatus = dwResponseCode;
        if (pszAdditionalRequestHeaders)
            *pszAdditionalRequestHeaders = nullptr;
        return S_OK;
    }

protected:
    ~CHttpBindingWatch() = default;
};
