// The download job: the status callback that URLDownloadToFileW calls while it
// transfers the package, and the worker thread that runs the transfer. The
// worker reports to the dialog only by posting the three download commands.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <string>

#include "Owners.h"
#include "framework/atlbase.h"
#include "ExceptionBase.h"
#include "QfThread.h"

// Progress for the bar: received × 100 / total without the 32-bit overflow of
// files above 42 MB; 0 when the total is unknown, above 100 when the server
// sends more than it announced.
int DownloadPercent(ULONG ulProgress, ULONG ulProgressMax);

// The directory from what GetTempPathW wrote into a 240-character buffer and
// returned: with a separator at its end, as far as the buffer has room for
// one. Throws CExceptionBase (10) when there is no usable directory.
std::wstring TempDirectoryFrom(const wchar_t* pszPath, DWORD nLength);

// The file name of a package URL: everything after the last "/". False when
// there is no "/" after the first character.
bool FileNameOfUrl(const std::wstring& strUrl, std::wstring& strFileName);

// The length the stored package must have, from the response's status and raw
// CRLF-separated headers: Content-Length, when it is a number and the body is
// stored as it was sent. False for a 304 (the binding serves its cached copy),
// for a body with a content encoding (the binding stores it decoded), and
// without a usable header.
bool StoredLengthFromHeaders(DWORD dwStatus, LPCWSTR pszHeaders, ULONGLONG& nLength);

// "Download failed.  Error = 0x%08lX\n\n" with the system's text of the code.
std::wstring DownloadFailureText(HRESULT hr);

class CDownloadStatusCallBack : public IBindStatusCallback, public CQfThread, public IHttpNegotiate
{
public:
    CDownloadStatusCallBack() = default;
    ~CDownloadStatusCallBack() override = default;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IBindStatusCallback
    STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                            LPCWSTR szStatusText) override;
    STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
    STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return S_OK; }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

    // IHttpNegotiate: the only way the binding tells the HTTP status. The
    // download call itself returns S_OK for an error page or a body cut short.
    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders) override;
    STDMETHODIMP OnResponse(DWORD dwResponseCode, LPCWSTR szResponseHeaders, LPCWSTR,
                            LPWSTR* pszAdditionalRequestHeaders) override;

    // CQfThread: the whole download; posts exactly one of ID_DOWNLOAD_READY
    // and ID_DOWNLOAD_FAILED.
    unsigned Run() override;

    // Begins a run: a new run number, and no progress command counted as
    // waiting. Only while no worker runs.
    void NextRun()
    {
        ++m_nRun;
        m_bProgressPending = false;
    }
    // Whether a command the worker posted (its notification code) comes from
    // the current run: one that an earlier run posted just before it ended
    // can still be in the queue when the next run starts.
    bool IsOfCurrentRun(WORD wNotifyCode) const { return wNotifyCode == m_nRun; }

    static std::wstring GetTempDirectory();

    // True while a worker thread may still use this object.
    bool IsRunning() const { return m_hThread && !m_bFinished; }
    // The dialog calls this as it starts handling a progress command, before
    // it reads the values: a report written after that posts a new command.
    void ProgressCommandTaken()
    {
        m_bProgressPending = false;
        ++m_nProgressHandled;
    }

    CCriticalSection m_cs;
    std::wstring m_strError;
    WCHAR m_szProgressText[256]{};
    WCHAR m_szDoneSize[256]{};
    WCHAR m_szTotalSize[256]{};
    WCHAR m_szFilePath[MAX_PATH]{};
    int m_nPercent = 0;
    std::atomic<bool> m_bStop{false};
    HWND m_hWndNotify = nullptr;
    std::wstring m_strUrl;
    LONG m_nRefCount = 0;
    // Every command the worker posts carries the run's number as its
    // notification code. Changed by NextRun only while no worker runs, so the
    // worker reads it without a lock.
    WORD m_nRun = 0;

    // At most one progress command waits in the dialog's queue, so the final
    // command always finds room there however fast the transfer runs.
    std::atomic<bool> m_bProgressPending{false};
    std::atomic<long> m_nProgressPosted{0};
    std::atomic<long> m_nProgressHandled{0};

private:
    void Download();
    HRESULT CheckDownloadedFile();
    void Fail(const std::wstring& strText);
    void FailWithCode(HRESULT hr);
    void PostCommand(UINT nID);

    // What the server answered, for the checks after the transfer (worker only).
    DWORD m_nHttpStatus = 0;
    ULONGLONG m_nContentLength = 0;
    bool m_bLengthKnown = false;
};
