// One transfer of the package: the binding's status callback that reads the
// server's answer, writes the body into the package file as it arrives, and
// asks for the rest of a package that a dropped connection cut short.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <memory>
#include <string>

#include "BindingWatch.h"
#include "DownloadProgress.h"
#include "PackageFile.h"

// What one answer says of the package, from its raw CRLF-separated headers.
struct PackageAnswer
{
    // The body's length as it is stored: Content-Length, when it is a number
    // and the body is stored as it was sent (no content encoding, which the
    // binding decodes), and the answer is not a 304 (no body).
    bool bLengthKnown = false;
    ULONGLONG nLength = 0;
    // "Accept-Ranges: bytes".
    bool bRanges = false;
    // What names the body's version for If-Range: a strong ETag, else
    // Last-Modified; empty when there is neither.
    std::wstring strValidator;
    // Content-Range: the first byte sent and the whole package's length.
    bool bRangeKnown = false;
    ULONGLONG nFirst = 0;
    ULONGLONG nTotal = 0;
};
PackageAnswer ReadPackageAnswer(DWORD dwStatus, LPCWSTR pszHeaders);

// What the server told of the package in the answer that began its body,
// kept across the transfers of one run.
struct ServedPackage
{
    std::wstring strValidator;
    bool bRanges = false;
    bool bLengthKnown = false;
    ULONGLONG nLength = 0;

    // A body cut short can be asked for again from where it ended: the
    // server takes ranges, names the version, and told the whole length.
    bool CanResume() const { return bRanges && !strValidator.empty() && bLengthKnown; }
};

// What a transfer does with an answer, when the package holds nHave bytes
// (0: the whole package was asked for; else its rest, from nHave on, with
// If-Range naming served's version).
enum class AnswerUse
{
    Whole,     // a whole body: the package starts afresh with it
    Append,    // the rest of the same version, from nHave on
    StartOver, // not the same version, or nothing left to send: from byte 0 again
    Refuse,    // neither: the transfer fails
};
AnswerUse UseOfAnswer(DWORD dwStatus, const PackageAnswer& answer, ULONGLONG nHave, const ServedPackage& served);

class CDownloadStatusCallBack final : public CBindingCallback
{
public:
    static unique_com<CDownloadStatusCallBack> Create(CPackageFile& package, ServedPackage& served,
                                                      CProgressLine& progress, CRunningBinding& binding,
                                                      const std::atomic<bool>& bStop);

    // One transfer of pszUrl: the whole package or, when the package holds
    // part of it and the server can resume, the rest. S_OK when the package
    // is complete; otherwise the code (E_ABORT after a stop,
    // kRedirectNotSecure, the HTTP status as an HRESULT, the binding's code,
    // INET_E_DOWNLOAD_FAILURE for a body shorter or longer than announced).
    HRESULT Transfer(LPCWSTR pszUrl);
    // After a failed transfer: it ended early (the connection closed, reset
    // or never made on a retry, the body cut short), so that asking again
    // may finish the package.
    bool EndedEarly() const { return m_bEndedEarly; }
    // After a failed transfer: the server no longer has the version begun,
    // or nothing after the bytes there; the package must start from byte 0.
    bool StartsOver() const { return m_bStartsOver; }

private:
    CDownloadStatusCallBack(CPackageFile& package, ServedPackage& served, CProgressLine& progress,
                            CRunningBinding& binding, const std::atomic<bool>& bStop);
    ~CDownloadStatusCallBack() override = default;

    std::wstring RequestHeaders() override;
    HRESULT Answered(DWORD dwStatus, LPCWSTR pszHeaders) override;
    HRESULT Read(IStream* pStream) override;

    CPackageFile& m_package;
    ServedPackage& m_served;
    CProgressLine& m_progress;
    const std::atomic<bool>& m_bStop;
    std::unique_ptr<BYTE[]> m_buffer;
    ULONGLONG m_nHave = 0; // in the package when the transfer began
    bool m_bAnswered = false;
    bool m_bEndKnown = false; // the package's length at the body's end
    ULONGLONG m_nEnd = 0;
    bool m_bEndedEarly = false;
    bool m_bStartsOver = false;
};
