#include "DownloadStatusCallBack.h"

#include <shlwapi.h>

#include <climits>
#include <cwchar>
#include <new>

#include "HttpBindingWatch.h"
#include "PackageKey.h"
#include "resource.h"
#if QUILLFEED_PACKAGE_KEY_SET
#include "PackageSignature.h"
#endif

namespace
{
constexpr DWORD kTempBufferSize = 240;
constexpr int kNoTempDirectory = 10;

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
} // namespace

int DownloadPercent(ULONG ulProgress, ULONG ulProgressMax)
{
    if (ulProgressMax == 0)
        return 0;
    const ULONGLONG nPercent = static_cast<ULONGLONG>(ulProgress) * 100 / ulProgressMax;
    return nPercent > INT_MAX ? INT_MAX : static_cast<int>(nPercent);
}

std::wstring TempDirectoryFrom(const wchar_t* pszPath, DWORD nLength)
{
    if (nLength == 0 || nLength > kTempBufferSize)
        throw CExceptionBase(kNoTempDirectory, L"Cannot find temp directory");
    std::wstring strDir(pszPath, wcsnlen(pszPath, kTempBufferSize));
    // A 239-character text leaves no room in the buffer for a separator.
    if (!strDir.empty() && strDir.back() != L'\\' && strDir.back() != L'/' && strDir.size() + 1 < kTempBufferSize)
        strDir += L'\\';
    return strDir;
}

bool FileNameOfUrl(const std::wstring& strUrl, std::wstring& strFileName)
{
    const size_t nSlash = strUrl.rfind(L'/');
    if (nSlash == std::wstring::npos || nSlash == 0)
        return false;
    strFileName = strUrl.substr(nSlash + 1);
    return true;
}

bool StoredLengthFromHeaders(DWORD dwStatus, LPCWSTR pszHeaders, ULONGLONG& nLength)
{
    std::wstring strLength, strEncoding;
    if (dwStatus == 304 || (FindHeader(pszHeaders, L"Content-Encoding", strEncoding) &&
                            ::StrCmpIW(strEncoding.c_str(), L"identity") != 0))
        return false;
    if (!FindHeader(pszHeaders, L"Content-Length", strLength) || strLength.empty())
        return false;
    wchar_t* pEnd = nullptr;
    nLength = wcstoull(strLength.c_str(), &pEnd, 10);
    return pEnd && *pEnd == L'\0';
}

std::wstring DownloadFailureText(HRESULT hr)
{
    wchar_t szCode[64];
    ::wsprintfW(szCode, L"Download failed.  Error = 0x%08lX\n\n", static_cast<unsigned long>(hr));
    unique_hlocal_string text;
    if (::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                         nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                         reinterpret_cast<LPWSTR>(text.addressof()), 0, nullptr) &&
        text.get())
        return szCode + std::wstring(text.get());
    return szCode + std::wstring(L"No message available.");
}

STDMETHODIMP CDownloadStatusCallBack::QueryInterface(REFIID riid, void** ppvObject)
{
    return QueryBindingCallback(this, riid, ppvObject);
}

STDMETHODIMP_(ULONG) CDownloadStatusCallBack::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_nRefCount));
}

STDMETHODIMP_(ULONG) CDownloadStatusCallBack::Release()
{
    const LONG nCount = ::InterlockedDecrement(&m_nRefCount);
    if (nCount == 0)
        delete static_cast<CQfThread*>(this);
    return static_cast<ULONG>(nCount);
}

STDMETHODIMP CDownloadStatusCallBack::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG, LPCWSTR)
{
    if (m_bStop)
        return E_ABORT;
    {
        CCritSecLock lock(m_cs);
        ::StrFormatByteSizeW(static_cast<LONGLONG>(ulProgress), m_szDoneSize, ARRAYSIZE(m_szDoneSize));
        ::StrFormatByteSizeW(static_cast<LONGLONG>(ulProgressMax), m_szTotalSize, ARRAYSIZE(m_szTotalSize));
        if (ulProgressMax != 0)
            ::wsprintfW(m_szProgressText, L"Downloaded %s of %s", m_szDoneSize, m_szTotalSize);
        else
            ::wsprintfW(m_szProgressText, L"Downloaded %s (total size unknown)", m_szDoneSize);
        m_nPercent = DownloadPercent(ulProgress, ulProgressMax);
    }
    // Each command shows the values current when it is handled, so one waiting
    // in the queue already carries this report.
    if (!m_bProgressPending.exchange(true))
    {
        if (::PostMessageW(m_hWndNotify, WM_COMMAND, MAKEWPARAM(ID_DOWNLOAD_PROGRESS, m_nRun), 0))
            ++m_nProgressPosted;
        else
            m_bProgressPending = false;
    }
    return S_OK;
}

STDMETHODIMP CDownloadStatusCallBack::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders)
{
    if (pszAdditionalHeaders)
        *pszAdditionalHeaders = nullptr;
    return S_OK;
}

STDMETHODIMP CDownloadStatusCallBack::OnResponse(DWORD dwResponseCode, LPCWSTR szResponseHeaders, LPCWSTR,
                                                 LPWSTR* pszAdditionalRequestHeaders)
{
    if (pszAdditionalRequestHeaders)
        *pszAdditionalRequestHeaders = nullptr;
    m_nHttpStatus = dwResponseCode;
    m_bLengthKnown = false;
    // Called by the binding: nothing may unwind into it. Without the headers
    // the size simply goes unchecked.
    try
    {
        m_bLengthKnown = StoredLengthFromHeaders(dwResponseCode, szResponseHeaders, m_nContentLength);
    }
    catch (...)
    {
        m_bLengthKnown = false;
    }
    return S_OK;
}

std::wstring CDownloadStatusCallBack::GetTempDirectory()
{
    wchar_t szPath[kTempBufferSize]{};
    const DWORD nLength = ::GetTempPathW(kTempBufferSize, szPath);
    return TempDirectoryFrom(szPath, nLength);
}

unsigned CDownloadStatusCallBack::Run()
{
    // Kept until the end of the program: the object is the dialog's member,
    // never a heap object that the binding's last Release may delete.
    AddRef();
    // Every run ends with exactly one of READY and FAILED, whatever is thrown:
    // a dialog left without either would show "Stop Download" for ever.
    try
    {
        Download();
    }
    catch (const CExceptionBase& e)
    {
        Fail(e.m_strMessage);
    }
    catch (const std::bad_alloc&)
    {
        FailWithCode(E_OUTOFMEMORY);
    }
    catch (...)
    {
        FailWithCode(E_UNEXPECTED);
    }
    return 0;
}

void CDownloadStatusCallBack::Download()
{
    std::wstring strFileName;
    if (!FileNameOfUrl(m_strUrl, strFileName))
    {
        Fail(L"Invalid url");
        return;
    }
    const std::wstring strDir = GetTempDirectory();
    if (strDir.size() + strFileName.size() >= ARRAYSIZE(m_szFilePath))
    {
        Fail(DownloadFailureText(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE)));
        return;
    }
    wcscpy(m_szFilePath, strDir.c_str());
    wcscat(m_szFilePath, strFileName.c_str());

    m_nHttpStatus = 0;
    m_bLengthKnown = false;
    HRESULT hr = ::URLDownloadToFileW(nullptr, m_strUrl.c_str(), m_szFilePath, 0,
                                      static_cast<IBindStatusCallback*>(this));
    if (hr == S_OK)
        hr = CheckDownloadedFile();
#if QUILLFEED_PACKAGE_KEY_SET
    // The file is complete and closed: the publisher's signature proves it
    // is the package they published before anything opens it.
    if (hr == S_OK)
        hr = VerifyPackage(m_strUrl, m_szFilePath, m_bStop);
#endif
    if (hr == S_OK)
        PostCommand(ID_DOWNLOAD_READY);
    else
        Fail(DownloadFailureText(hr));
}

// The download call answers S_OK for an error page saved as the package, for a
// body cut short and for a target folder that does not exist; none of those
// may reach the shell as a finished package.
HRESULT CDownloadStatusCallBack::CheckDownloadedFile()
{
    if (m_nHttpStatus != 0 && (m_nHttpStatus < 200 || m_nHttpStatus > 299) && m_nHttpStatus != 304)
    {
        ::DeleteFileW(m_szFilePath);
        return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_HTTP, m_nHttpStatus & 0xFFFF);
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(m_szFilePath, GetFileExInfoStandard, &data))
    {
        const DWORD nError = ::GetLastError();
        return HRESULT_FROM_WIN32(nError ? nError : ERROR_FILE_NOT_FOUND);
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
    const ULONGLONG nSize = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (m_bLengthKnown && nSize != m_nContentLength)
    {
        ::DeleteFileW(m_szFilePath);
        return INET_E_DOWNLOAD_FAILURE;
    }
    return S_OK;
}

// Never throws: the command is posted even when the text cannot be stored.
void CDownloadStatusCallBack::Fail(const std::wstring& strText)
{
    {
        CCritSecLock lock(m_cs);
        try
        {
            m_strError = strText;
        }
        catch (const std::bad_alloc&)
        {
            m_strError.clear();
        }
    }
    PostCommand(ID_DOWNLOAD_FAILED);
}

// Building the text allocates too, so this is the failure report that is safe
// to make from a handler of bad_alloc.
void CDownloadStatusCallBack::FailWithCode(HRESULT hr)
{
    std::wstring strText;
    try
    {
        strText = DownloadFailureText(hr);
    }
    catch (const std::bad_alloc&)
    {
    }
    Fail(strText);
}

void CDownloadStatusCallBack::PostCommand(UINT nID)
{
    // The final command must arrive: should the queue ever be full, wait for
    // the dialog to make room rather than leave it waiting for ever.
    for (int nTry = 0; nTry < 1000; ++nTry)
    {
        if (::PostMessageW(m_hWndNotify, WM_COMMAND, MAKEWPARAM(nID, m_nRun), 0) ||
            ::GetLastError() != ERROR_NOT_ENOUGH_QUOTA)
            return;
        ::Sleep(10);
    }
}
