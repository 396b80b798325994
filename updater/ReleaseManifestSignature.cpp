// What the manifest's checks need of CNG: its signature, the order of its
// checks, and the hashes of the files checked against it.
#include "ReleaseManifest.h"

#include <bcrypt.h>

#include <cstring>

#include "Owners.h"
#include "PackageSignature.h"

namespace
{
bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

// SHA-256 of the two parts one after the other: a manifest's signature covers
// the context and then the text.
HRESULT HashParts(const std::string& first, const std::string& second, unsigned char (&digest)[32])
{
    unique_bcrypt_algorithm algorithm;
    NTSTATUS status = ::BCryptOpenAlgorithmProvider(algorithm.addressof(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!Succeeded(status))
        return HRESULT_FROM_NT(status);
    unique_bcrypt_hash hash;
    status = ::BCryptCreateHash(algorithm.get(), hash.addressof(), nullptr, 0, nullptr, 0, 0);
    for (const std::string* pPart : {&first, &second})
    {
        // CNG takes the buffer without const; it only reads it.
        if (Succeeded(status) && !pPart->empty())
            status = ::BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(pPart->data())),
                                      static_cast<ULONG>(pPart->size()), 0);
    }
    if (Succeeded(status))
        status = ::BCryptFinishHash(hash.get(), digest, sizeof(digest), 0);
    return Succeeded(status) ? S_OK : HRESULT_FROM_NT(status);
}

HRESULT VerifyManifestSignature(const unsigned char (&publicKey)[64], const std::string& text, const std::string& der)
{
    unsigned char signature[64];
    if (!EcdsaSignatureDerToRaw(reinterpret_cast<const unsigned char*>(der.data()), der.size(), signature))
        return kManifestBadSignature;
    unsigned char digest[32];
    const HRESULT hr = HashParts(std::string(kManifestSignatureContext, sizeof(kManifestSignatureContext)), text,
                                 digest);
    if (hr != S_OK)
        return hr;
    const HRESULT hrVerify = VerifyDigest(publicKey, digest, signature);
    return hrVerify == TRUST_E_BAD_DIGEST ? kManifestBadSignature : hrVerify;
}
} // namespace

HRESULT AcceptReleaseManifest(const unsigned char (&publicKey)[64], const std::string& text,
                              const std::string& signature, const SYSTEMTIME& nowUtc, DWORD nFloor,
                              ReleaseManifest& manifest)
{
    // Nothing of the text is read before its signature holds.
    HRESULT hr = VerifyManifestSignature(publicKey, text, signature);
    if (hr != S_OK)
        return hr;
    ReleaseManifest parsed;
    hr = ParseReleaseManifest(text, parsed);
    if (hr != S_OK)
        return hr;
    if (parsed.strProduct != "Quillfeed")
        return kManifestWrongProduct;
    if (ManifestTime(nowUtc) >= parsed.nExpires)
        return kManifestExpired;
    if (parsed.nRelease < nFloor)
        return kManifestRolledBack;
    manifest = std::move(parsed);
    return S_OK;
}

void CReleaseCheck::Accept(const unsigned char (&publicKey)[64], const BoundedText& manifest,
                           const BoundedText& signature, const SYSTEMTIME& nowUtc, DWORD nFloor)
{
    m_bRequired = true;
    // An answer cut at its bound is one byte longer than any manifest or
    // signature, so its signature never verifies.
    if (manifest.hr != S_OK || signature.hr != S_OK || manifest.bytes.empty() || signature.bytes.empty())
        m_hrRefusal = kManifestMissing;
    else
        m_hrRefusal = AcceptReleaseManifest(publicKey, manifest.bytes, signature.bytes, nowUtc, nFloor, m_manifest);
}

HRESULT CReleaseCheck::CheckBytes(const std::wstring& strName, const std::string& bytes) const
{
    ExpectedFile expected;
    HRESULT hr = Expected(strName, expected);
    if (hr != S_OK)
        return SUCCEEDED(hr) ? S_OK : hr;
    // Saves the hashing of a text of another size; the hash alone would refuse it too.
    if (bytes.size() != expected.nSize)
        return kManifestFileMismatch;
    unsigned char digest[32];
    hr = HashParts(bytes, std::string(), digest);
    if (hr != S_OK)
        return hr;
    return std::memcmp(digest, expected.sha256, sizeof(digest)) == 0 ? S_OK : kManifestFileMismatch;
}
