#include "DownloadProgress.h"

#include <shlwapi.h>

#include <climits>

#include "resource.h"

int DownloadPercent(ULONGLONG nProgress, ULONGLONG nProgressMax)
{
    if (nProgressMax == 0)
        return 0;
    // Without the overflow of files above 42 MB (32 bits), or of any but those
    // above 184 PB.
    const ULONGLONG nPercent = nProgress / nProgressMax * 100 + nProgress % nProgressMax * 100 / nProgressMax;
    return nPercent > INT_MAX ? INT_MAX : static_cast<int>(nPercent);
}

void CProgressLine::Begin(HWND hWndNotify, WORD nRun)
{
    m_hWndNotify = hWndNotify;
    m_nRun = nRun;
    m_bResumed = false;
    m_bPending = false;
}

void CProgressLine::Received(ULONGLONG nDone, ULONGLONG nTotal)
{
    if (nTotal == 0)
        Show(L"Downloaded %s (total size unknown)", nDone, nTotal);
    else
        Show(m_bResumed ? L"Downloaded %s of %s (resumed)" : L"Downloaded %s of %s", nDone, nTotal);
}

void CProgressLine::Resuming(ULONGLONG nDone, ULONGLONG nTotal)
{
    m_bResumed = true;
    Show(L"Connection lost, resuming from %s of %s", nDone, nTotal);
}

void CProgressLine::Take(DownloadProgress& progress)
{
    // Before the values are read: a report written after this posts anew.
    m_bPending = false;
    ++m_nTaken;
    CCritSecLock lock(m_cs);
    ::lstrcpynW(progress.szText, m_szProgressText, ARRAYSIZE(progress.szText));
    progress.nPercent = m_nPercent;
}

void CProgressLine::Show(LPCWSTR pszFormat, ULONGLONG nDone, ULONGLONG nTotal)
{
    ++m_nReports;
    {
        CCritSecLock lock(m_cs);
        ::StrFormatByteSizeW(static_cast<LONGLONG>(nDone), m_szDoneSize, ARRAYSIZE(m_szDoneSize));
        ::StrFormatByteSizeW(static_cast<LONGLONG>(nTotal), m_szTotalSize, ARRAYSIZE(m_szTotalSize));
        ::wsprintfW(m_szProgressText, pszFormat, m_szDoneSize, m_szTotalSize);
        m_nPercent = DownloadPercent(nDone, nTotal);
    }
    // Each command shows the values current when it is handled, so one waiting
    // in the queue already carries this report.
    if (!m_bPending.exchange(true))
    {
        if (::PostMessageW(m_hWndNotify, WM_COMMAND, MAKEWPARAM(ID_DOWNLOAD_PROGRESS, m_nRun), 0))
            ++m_nPosted;
        else
            m_bPending = false;
    }
}
