#include "PackageSignature.h"

#include <bcrypt.h>
#include <urlmon.h>

#include <cstring>
#include <memory>
#include <new>

#include "HttpBindingWatch.h"
#include "Owners.h"
#include "PackageKey.h"

namespace
{
constexpr size_t kNumberBytes = 32;
constexpr size_t kDigestBytes = 32;
constexpr DWORD kHashChunkBytes = 256 * 1024;
constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

// One INTEGER of the signature, at p (bounded by pEnd), into 32 bytes
// right-aligned; p moves past it.
bool ReadDerNumber(const unsigned char*& p, const unsigned char* pEnd, unsigned char* pNumber)
{
    if (pEnd - p < 3 || p[0] != 0x02)
        return false;
    size_t nLength = p[1];
    const unsigned char* pValue = p + 2;
    // A P-256 number takes at most 33 bytes, so the length is always short-form.
    if (nLength == 0 || nLength > kNumberBytes + 1 || nLength > static_cast<size_t>(pEnd - pValue))
        return false;
    // A set high bit would make the number negative.
    if (pValue[0] & 0x80)
        return false;
    if (pValue[0] == 0 && nLength > 1)
    {
        // One zero byte is allowed, and needed, only in front of a high bit.
        if (!(pValue[1] & 0x80))
            return false;
        ++pValue;
        --nLength;
    }
    if (nLength > kNumberBytes || (nLength == 1 && pValue[0] == 0))
        return false;
    std::memset(pNumber, 0, kNumberBytes);
    std::memcpy(pNumber + kNumberBytes - nLength, pValue, nLength);
    p = pValue + nLength;
    return true;
}

// Receives "<package>.sig" into memory: the status callback of one
// synchronous binding, which learns the HTTP status, keeps at most one byte
// more than a signature may have, and answers a stop request.
class CSignatureFetch final : public CHttpBindingWatch
{
public:
    explicit CSignatureFetch(const std::atomic<bool>& bStop) : m_bStop(bStop) {}

    // S_OK with the answer in Data()/Size(), or the code the caller reports.
    HRESULT Fetch(LPCWSTR pszUrl)
    {
        HRESULT hr;
        {
            unique_com<IMoniker> moniker;
            unique_com<IBindCtx> context;
            unique_com<IStream> stream;
            hr = ::CreateURLMonikerEx(nullptr, pszUrl, moniker.addressof(), URL_MK_UNIFORM);
            if (SUCCEEDED(hr))
                hr = ::CreateAsyncBindCtx(0, this, nullptr, context.addressof());
            if (SUCCEEDED(hr))
            {
                hr = moniker.get()->BindToStorage(context.get(), nullptr, IID_IStream,
                                                  reinterpret_cast<void**>(stream.addressof()));
                ::RevokeBindStatusCallback(context.get(), this);
            }
        }
        if (m_bStop)
            return E_ABORT;
        if (m_bTooLong)
            return NTE_BAD_SIGNATURE;
        if (FAILED(hr) || FAILED(m_hrStop) || !StatusIsSuccess())
            return TRUST_E_NOSIGNATURE;
        return m_nSize == 0 ? TRUST_E_NOSIGNATURE : S_OK;
    }

    const unsigned char* Data() const { return m_data; }
    size_t Size() const { return m_nSize; }

    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG, ULONG, LPCWSTR) override
    {
        if (m_bStop)
            return E_ABORT;
        // A server that sends more than any signature is not sending one.
        if (ulProgress > kMaxSignatureBytes || m_bTooLong)
        {
            m_bTooLong = true;
            return E_ABORT;
        }
        return S_OK;
    }
    STDMETHODIMP GetBindInfo(DWORD* pgrfBINDF, BINDINFO* pBindInfo) override
    {
        // The publisher's current signature, never one from the cache, and
        // never stored there: synchronous, so the call returns with it.
        if (pgrfBINDF)
            *pgrfBINDF = BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE | BINDF_PRAGMA_NO_CACHE;
        if (pBindInfo && pBindInfo->cbSize >= sizeof(BINDINFO))
        {
            const ULONG cbSize = pBindInfo->cbSize;
            std::memset(pBindInfo, 0, cbSize);
            pBindInfo->cbSize = cbSize;
            pBindInfo->dwBindVerb = BINDVERB_GET;
        }
        return S_OK;
    }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* pMedium) override
    {
        if (!pMedium || pMedium->tymed != TYMED_ISTREAM || !pMedium->pstm)
            return S_OK;
        // The last byte of the buffer only tells that the answer is too long.
        while (m_nSize < sizeof(m_data))
        {
            ULONG nRead = 0;
            const HRESULT hr = pMedium->pstm->Read(m_data + m_nSize, static_cast<ULONG>(sizeof(m_data) - m_nSize),
                                                   &nRead);
            m_nSize += nRead;
            if (hr != S_OK || nRead == 0)
                break;
        }
        if (m_nSize > kMaxSignatureBytes)
            m_bTooLong = true;
        return S_OK;
    }

private:
    const std::atomic<bool>& m_bStop;
    bool m_bTooLong = false;
    unsigned char m_data[kMaxSignatureBytes + 1] = {};
    size_t m_nSize = 0;
};

// SHA-256 of the file as it is on disk now; others may read it meanwhile,
// nobody may write it.
HRESULT HashFile(LPCWSTR pszPath, const std::atomic<bool>& bStop, unsigned char (&digest)[kDigestBytes])
{
    unique_hfile file(::CreateFileW(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return HRESULT_FROM_WIN32(::GetLastError());
    unique_bcrypt_algorithm algorithm;
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(algorithm.addressof(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!Succeeded(status))
        return HRESULT_FROM_NT(status);
    unique_bcrypt_hash hash;
    status = ::BCryptCreateHash(algorithm.get(), hash.addressof(), nullptr, 0, nullptr, 0, 0);
    if (!Succeeded(status))
        return HRESULT_FROM_NT(status);
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kHashChunkBytes]);
    if (!buffer)
        return E_OUTOFMEMORY;
    for (;;)
    {
        // Between two chunks, so that Stop ends a long check as it ends a transfer.
        if (bStop)
            return E_ABORT;
        DWORD nRead = 0;
        if (!::ReadFile(file.get(), buffer.get(), kHashChunkBytes, &nRead, nullptr))
            return HRESULT_FROM_WIN32(::GetLastError());
        if (nRead == 0)
            break;
        status = ::BCryptHashData(hash.get(), buffer.get(), nRead, 0);
        if (!Succeeded(status))
            return HRESULT_FROM_NT(status);
    }
    status = ::BCryptFinishHash(hash.get(), digest, kDigestBytes, 0);
    return Succeeded(status) ? S_OK : HRESULT_FROM_NT(status);
}

HRESULT VerifyDigest(const unsigned char (&publicKey)[64], const unsigned char (&digest)[kDigestBytes],
                     const unsigned char (&signature)[64])
{
    unique_bcrypt_algorithm algorithm;
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(algorithm.addressof(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!Succeeded(status))
        return HRESULT_FROM_NT(status);
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + sizeof(publicKey)];
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kNumberBytes};
    std::memcpy(blob, &header, sizeof(header));
    std::memcpy(blob + sizeof(header), publicKey, sizeof(publicKey));
    unique_bcrypt_key key;
    status = ::BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.addressof(), blob,
                                   sizeof(blob), 0);
    if (!Succeeded(status))
        return HRESULT_FROM_NT(status);
    // CNG takes the buffers without const; it only reads them.
    status = ::BCryptVerifySignature(key.get(), nullptr, const_cast<unsigned char*>(digest), kDigestBytes,
                                     const_cast<unsigned char*>(signature), sizeof(signature), 0);
    if (status == kStatusInvalidSignature)
        return TRUST_E_BAD_DIGEST;
    return Succeeded(status) ? S_OK : HRESULT_FROM_NT(status);
}
} // namespace

bool EcdsaSignatureDerToRaw(const unsigned char* pDer, size_t nDer, unsigned char (&raw)[64])
{
    // SEQUENCE with a short-form length that covers the rest exactly.
    if (!pDer || nDer < 2 || pDer[0] != 0x30 || pDer[1] >= 0x80 || pDer[1] != nDer - 2)
        return false;
    const unsigned char* p = pDer + 2;
    const unsigned char* pEnd = pDer + nDer;
    return ReadDerNumber(p, pEnd, raw) && ReadDerNumber(p, pEnd, raw + kNumberBytes) && p == pEnd;
}

HRESULT VerifyPackageSignature(const unsigned char (&publicKey)[64], const std::wstring& strPackageUrl,
                               LPCWSTR pszPackagePath, const std::atomic<bool>& bStop)
{
    // The signature first: without one there is no point in reading the package.
    CSignatureFetch fetch(bStop);
    HRESULT hr = fetch.Fetch((strPackageUrl + L".sig").c_str());
    if (hr != S_OK)
        return hr;
    unsigned char signature[64];
    if (!EcdsaSignatureDerToRaw(fetch.Data(), fetch.Size(), signature))
        return NTE_BAD_SIGNATURE;
    unsigned char digest[kDigestBytes];
    hr = HashFile(pszPackagePath, bStop, digest);
    if (hr != S_OK)
        return hr;
    return VerifyDigest(publicKey, digest, signature);
}

#if QUILLFEED_PACKAGE_KEY_SET
HRESULT VerifyPackage(const std::wstring& strPackageUrl, LPCWSTR pszPackagePath, const std::atomic<bool>& bStop)
{
    static const unsigned char kPublisherKey[64] = {QUILLFEED_PACKAGE_PUBLIC_KEY_XY};
    HRESULT hr;
    try
    {
        hr = VerifyPackageSignature(kPublisherKey, strPackageUrl, pszPackagePath, bStop);
    }
    catch (const std::bad_alloc&)
    {
        hr = E_OUTOFMEMORY;
    }
    if (hr != S_OK)
        ::DeleteFileW(pszPackagePath);
    return hr;
}
#endif
