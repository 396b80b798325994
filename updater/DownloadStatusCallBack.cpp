#include "DownloadStatusCallBack.h"

#include <shlwapi.h>

#include <climits>
#include <cwchar>
#include <new>

#include "PackageKey.h"
#include "PackageSignature.h"
#include "resource.h"

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

bool CDownloadStatusCallBack::StartRun(const std::wstring& strUrl, HWND hWndNotify)
{
    if (IsRunning())
        return false;
    // What an earlier run posted before it ended is no longer news. The run
    // after the 65,535th is 1 again, never 0, the code of an ordinary command.
    if (++m_nRun == 0)
        m_nRun = 1;
    m_bProgressPending = false;
    m_strUrl = strUrl;
    m_hWndNotify = hWndNotify;
    m_bStop = false;
    {
        CCritSecLock lock(m_cs);
        m_outcome = Outcome::None;
        m_bOutcomeTaken = false;
    }
    m_binding.Reset();
    m_hPackage.reset();
    m_bOwnsPath = false;
    Start();
    return true;
}

void CDownloadStatusCallBack::RequestStop()
{
    // Under the lock, so that the worker's conclusion comes either wholly
    // before the stop (a ready run hands off) or wholly after it (stopped).
    {
        CCritSecLock lock(m_cs);
        m_bStop = true;
    }
    m_binding.Abort();
}

void CDownloadStatusCallBack::WaitForWorker(DWORD nMilliseconds) const
{
    ::WaitForSingleObjectEx(m_hThread.get(), nMilliseconds, FALSE);
}

bool CDownloadStatusCallBack::TakeProgress(WORD wNotifyCode, DownloadProgress& progress)
{
    if (m_nRun == 0 || wNotifyCode != m_nRun)
        return false;
    // Before the values are read: a report written after this posts anew.
    m_bProgressPending = false;
    ++m_nProgressTaken;
    CCritSecLock lock(m_cs);
    ::lstrcpynW(progress.szText, m_szProgressText, ARRAYSIZE(progress.szText));
    progress.nPercent = m_nPercent;
    return true;
}

bool CDownloadStatusCallBack::TakeOutcome(WORD wNotifyCode, Outcome outcome)
{
    // Before the first run, and until its worker concludes, the outcome is
    // None, which no command announces.
    CCritSecLock lock(m_cs);
    if (wNotifyCode != m_nRun || outcome == Outcome::None || m_outcome != outcome || m_bOutcomeTaken)
        return false;
    m_bOutcomeTaken = true;
    return true;
}

STDMETHODIMP CDownloadStatusCallBack::QueryInterface(REFIID riid, void** ppvObject)
{
    if (!ppvObject)
        return E_POINTER;
    *ppvObject = nullptr;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IBindStatusCallback))
        *ppvObject = static_cast<IBindStatusCallback*>(this);
    else if (::IsEqualIID(riid, IID_IHttpNegotiate))
        *ppvObject = static_cast<IHttpNegotiate*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
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

STDMETHODIMP CDownloadStatusCallBack::OnStartBinding(DWORD, IBinding* pBinding)
{
    // Kept for RequestStop. The download call does not look at this answer.
    m_binding.Attach(pBinding);
    return E_NOTIMPL;
}

STDMETHODIMP CDownloadStatusCallBack::OnStopBinding(HRESULT, LPCWSTR)
{
    m_binding.Detach();
    return S_OK;
}

STDMETHODIMP CDownloadStatusCallBack::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                                                 LPCWSTR szStatusText)
{
    m_binding.UnderWay();
    if (m_bStop)
        return E_ABORT;
    if (ulStatusCode == BINDSTATUS_REDIRECTING && !m_answer.Reached(szStatusText, m_binding))
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
    m_answer.Responded(dwResponseCode, m_binding);
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
        Conclude(E_FAIL, e.m_strMessage.c_str());
    }
    catch (const std::bad_alloc&)
    {
        Conclude(E_OUTOFMEMORY);
    }
    catch (...)
    {
        Conclude(E_UNEXPECTED);
    }
    return 0;
}

void CDownloadStatusCallBack::Download()
{
    std::wstring strFileName;
    if (!FileNameOfUrl(m_strUrl, strFileName))
    {
        Conclude(E_FAIL, L"Invalid url");
        return;
    }
    const std::wstring strDir = GetTempDirectory();
    if (strDir.size() + strFileName.size() >= ARRAYSIZE(m_szFilePath))
    {
        Conclude(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
        return;
    }
    wcscpy(m_szFilePath, strDir.c_str());
    wcscat(m_szFilePath, strFileName.c_str());

    HRESULT hr = ClearPackagePath();
    if (hr == S_OK)
        hr = Transfer();
    if (hr == S_OK)
        hr = HoldPackage();
    if (hr == S_OK)
        hr = CheckSignature();
    Conclude(hr);
}

// A file already at the package path may be someone else's, with their
// owner and permissions: the download never writes into it.
HRESULT CDownloadStatusCallBack::ClearPackagePath()
{
    if (!::DeleteFileW(m_szFilePath))
    {
        const DWORD nError = ::GetLastError();
        if (nError != ERROR_FILE_NOT_FOUND)
            return HRESULT_FROM_WIN32(nError ? nError : ERROR_ACCESS_DENIED);
    }
    m_bOwnsPath = true;
    return S_OK;
}

// The download call answers S_OK for an error page saved as the package and
// for a body cut short; neither may reach the shell as a finished package.
HRESULT CDownloadStatusCallBack::Transfer()
{
    m_answer.Begin(m_strUrl.c_str());
    m_bLengthKnown = false;
    HRESULT hr = ::URLDownloadToFileW(nullptr, m_strUrl.c_str(), m_szFilePath, 0,
                                      static_cast<IBindStatusCallback*>(this));
    m_binding.Detach();
    if (m_answer.Downgraded())
        return kRedirectNotSecure;
    if (hr != S_OK)
        return hr;
    const DWORD nStatus = m_answer.Status();
    if (!m_answer.StatusIsSuccess() && nStatus != 304)
        return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_HTTP, nStatus & 0xFFFF);
    return S_OK;
}

// From here to the hand-off the package is held open for reading, sharing
// it for reading only: nobody can write it, replace it or rename it, and
// what the checks read is what the shell opens. A link (a reparse point, or
// a second name for the file) could lead the shell elsewhere, or let another
// change the file by that other name, and is refused.
HRESULT CDownloadStatusCallBack::HoldPackage()
{
    m_hPackage.reset(::CreateFileW(m_szFilePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!m_hPackage)
    {
        const DWORD nError = ::GetLastError();
        return HRESULT_FROM_WIN32(nError ? nError : ERROR_FILE_NOT_FOUND);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(m_hPackage.get(), &info))
        return HRESULT_FROM_WIN32(::GetLastError());
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT) ||
        info.nNumberOfLinks != 1)
        return HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE);
    const ULONGLONG nSize = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (m_bLengthKnown && nSize != m_nContentLength)
        return INET_E_DOWNLOAD_FAILURE;
    // "Not modified" leaves the package to the binding's cached copy. Where
    // the binding stores nothing (no copy was offered, or it does not keep
    // one), there is no package to open.
    if (m_answer.Status() == 304 && nSize == 0)
        return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_HTTP, 304);
    return S_OK;
}

// The one place where a build that carries the publisher's key differs.
HRESULT CDownloadStatusCallBack::CheckSignature()
{
#if QUILLFEED_PACKAGE_KEY_SET
    // The package is complete and held: the publisher's signature proves it
    // is the package they published before anything opens it.
    return VerifyPackage(m_strUrl, m_hPackage.get(), m_bStop, m_binding);
#else
    return S_OK;
#endif
}

// A run that fails leaves nothing under the package's name that the shell,
// or a later click, could take for the package: the file is deleted, or,
// where something keeps it from being deleted, renamed aside.
void CDownloadStatusCallBack::DiscardPackage()
{
    m_hPackage.reset();
    if (!m_bOwnsPath)
        return;
    if (::DeleteFileW(m_szFilePath) || ::GetLastError() == ERROR_FILE_NOT_FOUND)
        return;
    ::SetFileAttributesW(m_szFilePath, FILE_ATTRIBUTE_NORMAL);
    if (::DeleteFileW(m_szFilePath))
        return;
    wchar_t szAside[MAX_PATH + 32];
    ::wsprintfW(szAside, L"%s.%08lX.discarded", m_szFilePath, ::GetTickCount());
    if (::MoveFileExW(m_szFilePath, szAside, 0))
        ::DeleteFileW(szAside);
}

// Never throws: the command is posted even when the text cannot be stored.
void CDownloadStatusCallBack::Conclude(HRESULT hr, LPCWSTR pszText)
{
    bool bReady;
    {
        CCritSecLock lock(m_cs);
        if (m_bStop)
        {
            hr = E_ABORT;
            pszText = nullptr;
        }
        bReady = hr == S_OK;
        m_outcome = bReady ? Outcome::Ready : Outcome::Failed;
        if (!bReady)
        {
            try
            {
                m_strError = pszText ? std::wstring(pszText) : DownloadFailureText(hr);
            }
            catch (const std::bad_alloc&)
            {
                m_strError.clear();
            }
        }
    }
    if (!bReady)
        DiscardPackage();
    PostCommand(bReady ? ID_DOWNLOAD_READY : ID_DOWNLOAD_FAILED);
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
