#include "DownloadJob.h"

#include "DownloadStatusCallBack.h"

#include <shlwapi.h>

#include <cstring>
#include <cwchar>
#include <new>

#include "ReleaseManifest.h"
#include "resource.h"

namespace
{
constexpr DWORD kTempBufferSize = 240;
constexpr int kNoTempDirectory = 10;
} // namespace

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

std::wstring DownloadFailureText(HRESULT hr)
{
    wchar_t szCode[64];
    ::wsprintfW(szCode, L"Download failed.  Error = 0x%08lX\n\n", static_cast<unsigned long>(hr));
    // The system has no text for the program's own codes.
    if (const LPCWSTR pszOwn = ReleaseRefusalText(hr))
        return szCode + std::wstring(pszOwn);
    unique_hlocal_string text;
    if (::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                         nullptr, static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                         reinterpret_cast<LPWSTR>(text.addressof()), 0, nullptr) &&
        text.get())
        return szCode + std::wstring(text.get());
    return szCode + std::wstring(L"No message available.");
}

CDownloadJob::CDownloadJob() : m_hStopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

bool CDownloadJob::StartRun(const std::wstring& strUrl, HWND hWndNotify, const ExpectedFile* pExpected)
{
    if (IsRunning())
        return false;
    // What an earlier run posted before it ended is no longer news. The run
    // after the 65,535th is 1 again, never 0, the code of an ordinary command.
    if (++m_nRun == 0)
        m_nRun = 1;
    m_progress.Begin(hWndNotify, m_nRun);
    m_strUrl = strUrl;
    m_bListed = pExpected != nullptr;
    m_listed = pExpected ? *pExpected : ExpectedFile();
    m_hWndNotify = hWndNotify;
    m_bStop = false;
    {
        CCritSecLock lock(m_cs);
        m_outcome = Outcome::None;
        m_bOutcomeTaken = false;
    }
    ::ResetEvent(m_hStopEvent.get());
    m_binding.Reset();
    // A package of an earlier run that was neither handed off nor given up.
    m_package.Discard();
    if (!Start())
    {
        const DWORD nError = ::GetLastError();
        Conclude(HRESULT_FROM_WIN32(nError ? nError : ERROR_NOT_ENOUGH_MEMORY));
    }
    return true;
}

void CDownloadJob::RequestStop()
{
    // Under the lock, so that the worker's conclusion comes either wholly
    // before the stop (a ready run hands off) or wholly after it (stopped).
    {
        CCritSecLock lock(m_cs);
        m_bStop = true;
    }
    ::SetEvent(m_hStopEvent.get());
    m_binding.Abort();
}

void CDownloadJob::WaitForWorker(DWORD nMilliseconds) const
{
    ::WaitForSingleObjectEx(m_hThread.get(), nMilliseconds, FALSE);
}

bool CDownloadJob::TakeProgress(WORD wNotifyCode, DownloadProgress& progress)
{
    if (m_nRun == 0 || wNotifyCode != m_nRun)
        return false;
    m_progress.Take(progress);
    return true;
}

bool CDownloadJob::TakeOutcome(WORD wNotifyCode, Outcome outcome)
{
    // Before the first run, and until its worker concludes, the outcome is
    // None, which no command announces.
    CCritSecLock lock(m_cs);
    if (wNotifyCode != m_nRun || outcome == Outcome::None || m_outcome != outcome || m_bOutcomeTaken)
        return false;
    m_bOutcomeTaken = true;
    return true;
}

std::wstring CDownloadJob::GetTempDirectory()
{
    wchar_t szPath[kTempBufferSize]{};
    const DWORD nLength = ::GetTempPathW(kTempBufferSize, szPath);
    return TempDirectoryFrom(szPath, nLength);
}

unsigned CDownloadJob::Run()
{
    // The worker calls urlmon, so it joins the multithreaded apartment for
    // the run, as every thread that uses COM objects must. (Wine's urlmon
    // works without, so no test here sees it missing.)
    const unique_com_init com(COINIT_MULTITHREADED);
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

void CDownloadJob::Download()
{
    std::wstring strFileName;
    if (!FileNameOfUrl(m_strUrl, strFileName))
    {
        Conclude(E_FAIL, L"Invalid url");
        return;
    }
    const std::wstring strDir = GetTempDirectory();
    CPackageFile::RemoveLeftovers(strDir);
    HRESULT hr = m_package.Create(strDir, strFileName, m_bListed ? m_listed.nSize : CPackageFile::kUnknownLength);
    if (hr == S_OK)
        hr = TransferWithRetries();
    if (hr == S_OK)
        hr = m_package.Seal();
    if (hr == S_OK)
        hr = CheckListedHash();
    Conclude(hr);
}

HRESULT CDownloadJob::TransferWithRetries()
{
    ServedPackage served;
    for (int nTry = 0;; ++nTry)
    {
        const unique_com<CDownloadStatusCallBack> transfer = CDownloadStatusCallBack::Create(
            m_package, served, m_progress, m_binding, m_bStop);
        const HRESULT hr = transfer.get()->Transfer(m_strUrl.c_str());
        if (hr == S_OK || m_bStop || nTry == kMaxRetries)
            return m_bStop ? E_ABORT : hr;
        if (transfer.get()->StartsOver())
            served = ServedPackage();
        else if (!transfer.get()->EndedEarly() || !served.CanResume())
            return hr;
        m_progress.Resuming(m_package.Length(), served.nLength);
        // A second or two before the next try, unless the dialog stops the run.
        // (A pause that the stop could not end would end the run as stopped
        // all the same, only later: no test here tells the two apart.)
        if (::WaitForSingleObject(m_hStopEvent.get(), 1000 + 500 * static_cast<DWORD>(nTry)) != WAIT_TIMEOUT)
            return E_ABORT;
    }
}

// The package is complete and sealed, so its hash, taken as the bytes
// arrived (a resumed transfer's included), is of the whole file handed off.
HRESULT CDownloadJob::CheckListedHash()
{
    if (!m_bListed)
        return S_OK;
    unsigned char digest[sizeof(m_listed.sha256)];
    const HRESULT hr = m_package.Digest(digest);
    if (FAILED(hr))
        return hr;
    return std::memcmp(digest, m_listed.sha256, sizeof(digest)) == 0 ? S_OK : kManifestFileMismatch;
}

// Never throws: the command is posted even when the text cannot be stored.
void CDownloadJob::Conclude(HRESULT hr, LPCWSTR pszText)
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
        m_package.Discard();
    PostCommand(bReady ? ID_DOWNLOAD_READY : ID_DOWNLOAD_FAILED);
}

void CDownloadJob::PostCommand(UINT nID)
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
