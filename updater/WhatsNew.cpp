#include "WhatsNew.h"

#include <urlmon.h>
#include <versionhelpers.h>
#include <wininet.h>

#include <cstdlib>
#include <memory>
#include <new>

namespace
{
class unique_hfile
{
public:
    explicit unique_hfile(HANDLE h) : m_h(h) {}
    ~unique_hfile()
    {
        if (m_h != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_h);
    }
    unique_hfile(const unique_hfile&) = delete;
    unique_hfile& operator=(const unique_hfile&) = delete;
    HANDLE get() const { return m_h; }
    explicit operator bool() const { return m_h != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h;
};

UINT ThreadAnsiCodePage()
{
    if (::IsWindowsVersionOrGreater(5, 0, 0))
        return CP_THREAD_ACP;
    return LegacyThreadAnsiCodePage(::GetThreadLocale());
}

// Watches the transfer only to learn whether the server delivered the file:
// the platform saves an error page, or a body cut short, as if it were the
// file and still reports success.
class CHttpStatusWatch : public IBindStatusCallback, public IHttpNegotiate
{
public:
    DWORD m_nStatus = 0;
    HRESULT m_hrStop = S_OK;
    bool m_bEnded = false;
    ULONG m_nReceived = 0;
    ULONG m_nExpected = 0;

    // The server answered 200 and delivered as many bytes as it announced.
    bool Delivered() const
    {
        if (m_nStatus != 0 && m_nStatus != HTTP_STATUS_OK)
            return false;
        if (FAILED(m_hrStop))
            return false;
        return !m_bEnded || m_nExpected == 0 || m_nReceived >= m_nExpected;
    }

    // A stack object: the counts only keep COM's bookkeeping honest.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IBindStatusCallback)
            *ppv = static_cast<IBindStatusCallback*>(this);
        else if (riid == IID_IHttpNegotiate)
            *ppv = static_cast<IHttpNegotiate*>(this);
        else
        {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return S_OK; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
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
    STDMETHODIMP OnResponse(DWORD nResponseCode, LPCWSTR, LPCWSTR, LPWSTR* pszAdditionalRequestHeaders) override
    {
        m_nStatus = nResponseCode;
        if (pszAdditionalRequestHeaders)
            *pszAdditionalRequestHeaders = nullptr;
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
    const DWORD nBuffer = nSize + 1;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[nBuffer]);
    if (!buffer)
        return;
    DWORD nRead = 0;
    if (!::ReadFile(hFile, buffer.get(), nBuffer, &nRead, nullptr))
        nRead = 0;
    buffer[nRead] = '\0';

    const UINT nCodePage = ThreadAnsiCodePage();
    const int nChars = ::MultiByteToWideChar(nCodePage, 0, buffer.get(), -1, nullptr, 0);
    if (nChars <= 1)
        return;
    std::wstring strConverted(static_cast<size_t>(nChars), L'\0');
    if (::MultiByteToWideChar(nCodePage, 0, buffer.get(), -1, &strConverted[0], nChars) != nChars)
        return;
    strConverted.resize(static_cast<size_t>(nChars) - 1);
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
    for (size_t pos = strText.find(L'\n'); pos != std::wstring::npos; pos = strText.find(L'\n', pos + 2))
        strText.insert(pos, 1, L'\r');
}
