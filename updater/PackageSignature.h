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

#include "BindingWatch.h"

// A signature can be this long at most; a longer answer is not one.
constexpr size_t kMaxSignatureBytes = 1024;

// The two numbers of an ECDSA P-256 signature in DER (SEQUENCE of INTEGER r
// and INTEGER s) as the 64 bytes r‖s, each big-endian and padded to 32 bytes,
// that CNG verifies. Only strict DER is taken: short-form lengths, each number
// positive, non-zero, minimally encoded and at most 32 bytes long, nothing
// after the sequence.
bool EcdsaSignatureDerToRaw(const unsigned char* pDer, size_t nDer, unsigned char (&raw)[64]);

// Verifies the raw signature r‖s of a SHA-256 digest against the public key
// (X then Y, 32 bytes each, big-endian): S_OK, TRUST_E_BAD_DIGEST when it
// does not verify, or the code of a failure to use CNG.
HRESULT VerifyDigest(const unsigned char (&publicKey)[64], const unsigned char (&digest)[32],
                     const unsigned char (&signature)[64]);

// SHA-256 of what hFile holds from its current position to its end, read in
// chunks; E_ABORT when bStop is found set between two of them, so that Stop
// ends a long check as it ends a transfer.
HRESULT HashPackage(HANDLE hFile, const std::atomic<bool>& bStop, unsigned char (&digest)[32]);

// Fetches "<strPackageUrl>.sig" into memory (registered with binding, so that
// a stop request aborts it), hashes the package read through hPackage with
// SHA-256 and verifies the signature with the public key (X then Y, 32 bytes
// each, big-endian). S_OK only for a valid signature; otherwise
//   E_ABORT              bStop was set during the fetch or the hashing,
//   kRedirectNotSecure   the fetch of an https:// address was redirected to
//                        one that is not,
//   NTE_BAD_SIGNATURE    the answer is longer than any signature, or not a
//                        P-256 signature in strict DER,
//   TRUST_E_NOSIGNATURE  no signature could be fetched (an HTTP error status,
//                        an empty answer, a failed transfer),
//   TRUST_E_BAD_DIGEST   the signature does not verify: another key, or a
//                        file that is not the one signed,
// or the code of a failure to read the file or to use CNG.
HRESULT VerifyPackageSignature(const unsigned char (&publicKey)[64], const std::wstring& strPackageUrl,
                               HANDLE hPackage, const std::atomic<bool>& bStop, CRunningBinding& binding);

// The download job's last check before it reports the package ready, in a
// build that carries the publisher's key (QUILLFEED_PACKAGE_KEY_SET): the
// signature against that key. The job holds the package open, sharing it for
// reading only, from before this check until the hand-off, so that the file
// checked is the file opened.
HRESULT VerifyPackage(const std::wstring& strPackageUrl, HANDLE hPackage, const std::atomic<bool>& bStop,
                      CRunningBinding& binding);
