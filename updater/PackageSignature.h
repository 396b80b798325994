// The signature check of a downloaded package. A build that carries the
// publisher's ECDSA P-256 public key (the build setting
// QUILLFEED_PACKAGE_PUBLIC_KEY) hands a package to the shell only when its
// detached signature, "<package URL>.sig" as `openssl dgst -sha256 -sign`
// writes it, verifies against the SHA-256 of the downloaded file.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>

// A signature can be this long at most; a longer answer is not one.
constexpr size_t kMaxSignatureBytes = 1024;

// The two numbers of an ECDSA P-256 signature in DER (SEQUENCE of INTEGER r
// and INTEGER s) as the 64 bytes r‖s, each big-endian and padded to 32 bytes,
// that CNG verifies. Only strict DER is taken: short-form lengths, each number
// positive, non-zero, minimally encoded and at most 32 bytes long, nothing
// after the sequence.
bool EcdsaSignatureDerToRaw(const unsigned char* pDer, size_t nDer, unsigned char (&raw)[64]);

// Fetches "<strPackageUrl>.sig" into memory, hashes the file with SHA-256 and
// verifies the signature with the public key (X then Y, 32 bytes each,
// big-endian). S_OK only for a valid signature; otherwise
//   E_ABORT              bStop was set during the fetch or the hashing,
//   TRUST_E_NOSIGNATURE  no signature could be fetched (an HTTP error status,
//                        an empty answer, a failed transfer),
//   NTE_BAD_SIGNATURE    the answer is not a P-256 signature in strict DER,
//   TRUST_E_BAD_DIGEST   the signature does not verify: another key, or a
//                        file that is not the one signed,
// or the code of a failure to read the file or to use CNG.
HRESULT VerifyPackageSignature(const unsigned char (&publicKey)[64], const std::wstring& strPackageUrl,
                               LPCWSTR pszPackagePath, const std::atomic<bool>& bStop);

// The download job's last check before it reports the package ready, in a
// build that carries the publisher's key (QUILLFEED_PACKAGE_KEY_SET): the
// signature against that key. The package file is deleted when the check
// fails, so that nothing unproven is left to open.
HRESULT VerifyPackage(const std::wstring& strPackageUrl, LPCWSTR pszPackagePath, const std::atomic<bool>& bStop);
