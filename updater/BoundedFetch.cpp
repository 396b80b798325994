#include "BoundedFetch.h"

#include <algorithm>

unique_com<CBoundedFetch> CBoundedFetch::Create(size_t nMaxBytes, CRunningBinding& binding,
                                                const std::atomic<bool>* pbStop)
{
    return unique_com<CBoundedFetch>(new CBoundedFetch(nMaxBytes, binding, pbStop));
}

CBoundedFetch::CBoundedFetch(size_t nMaxBytes, CRunningBinding& binding, const std::atomic<bool>* pbStop)
    : CBindingCallback(binding, pbStop), m_nMaxBytes(nMaxBytes)
{
}

HRESULT CBoundedFetch::Fetch(LPCWSTR pszUrl)
{
    m_hrBind = Bind(pszUrl);
    return m_hrBind;
}

bool CBoundedFetch::Complete() const
{
    if (!Answer().StatusIsSuccess() || Answer().Downgraded())
        return false;
    // The bound is all that would be shown or checked: the rest was not awaited.
    if (TooLong())
        return true;
    if (FAILED(m_hrBind) || FAILED(StopResult()) || FAILED(Refusal()))
        return false;
    return !m_bEnded || m_nExpected == 0 || m_nReceived >= m_nExpected;
}

void CBoundedFetch::Reported(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode)
{
    if (ulStatusCode == BINDSTATUS_ENDDOWNLOADDATA)
    {
        m_bEnded = true;
        m_nReceived = ulProgress;
        m_nExpected = ulProgressMax;
    }
}

HRESULT CBoundedFetch::Read(IStream* pStream)
{
    char buffer[16 * 1024];
    while (!TooLong())
    {
        ULONG nRead = 0;
        const ULONG nWanted = static_cast<ULONG>(std::min<size_t>(sizeof(buffer), m_nMaxBytes + 1 - m_data.size()));
        const HRESULT hr = pStream->Read(buffer, nWanted, &nRead);
        m_data.append(buffer, nRead);
        if (hr != S_OK || nRead == 0)
            break;
    }
    // Whatever follows is not wanted, however much of it there is.
    return TooLong() ? E_ABORT : S_OK;
}
