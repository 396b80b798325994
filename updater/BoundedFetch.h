// One fetch into memory, bounded in bytes: the What's New text and the
// package's signature.
#pragma once

#include <cstddef>
#include <string>

#include "BindingWatch.h"

// At most nMaxBytes of the answer are kept, and one byte more only tells that
// it is longer; the transfer is ended then, so an endless answer costs no
// more. Stop requests and deadlines reach it through the CRunningBinding it
// registers with, and through the stop flag it answers.
class CBoundedFetch final : public CBindingCallback
{
public:
    // pbStop, when given, is a stop request (or a deadline passed) that the
    // fetch answers at its next callback.
    static unique_com<CBoundedFetch> Create(size_t nMaxBytes, CRunningBinding& binding,
                                            const std::atomic<bool>* pbStop = nullptr);

    // The binding's own result: S_OK when it ran to its end, whatever the
    // server answered; see the accessors for what arrived.
    HRESULT Fetch(LPCWSTR pszUrl);

    const std::string& Data() const { return m_data; }
    // More than nMaxBytes arrived (the data then holds nMaxBytes + 1).
    bool TooLong() const { return m_data.size() > m_nMaxBytes; }
    // The server answered 2xx and sent the whole body, as many bytes as it
    // announced, or the bound was reached first.
    bool Complete() const;

private:
    CBoundedFetch(size_t nMaxBytes, CRunningBinding& binding, const std::atomic<bool>* pbStop);
    ~CBoundedFetch() override = default;

    void Reported(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode) override;
    HRESULT Read(IStream* pStream) override;

    const size_t m_nMaxBytes;
    std::string m_data;
    HRESULT m_hrBind = S_OK;
    bool m_bEnded = false;
    ULONG m_nReceived = 0;
    ULONG m_nExpected = 0;
};
