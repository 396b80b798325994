#include "PackageSignature.h"

#include <bcrypt.h>

#include <cstring>

#include "Owners.h"

namespace
{
constexpr size_t kNumberBytes = 32;
constexpr size_t kDigestBytes = 32;
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
} // namespace

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

bool EcdsaSignatureDerToRaw(const unsigned char* pDer, size_t nDer, unsigned char (&raw)[64])
{
    // SEQUENCE with a short-form length that covers the rest exactly.
    if (!pDer || nDer < 2 || pDer[0] != 0x30 || pDer[1] >= 0x80 || pDer[1] != nDer - 2)
        return false;
    const unsigned char* p = pDer + 2;
    const unsigned char* pEnd = pDer + nDer;
    return ReadDerNumber(p, pEnd, raw) && ReadDerNumber(p, pEnd, raw + kNumberBytes) && p == pEnd;
}
