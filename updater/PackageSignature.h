// The signature check of a downloaded package. A build that carries the
// publisher's ECDSA P-256 public key (the build setting
// QUILLFEED_PACKAGE_PUBLIC_KEY) hands a package to the shell only when its
// detached signature, "<package URL>.sig" as `openssl dgst -sha256 -sign`
// writes it, verifies against the SHA-256 of the downloaded file, taken as
// its bytes arrived.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "BoundedFetch.h"

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

// Fetches "<strPackageUrl>.sig" into memory (registered with binding, so that
// a stop request aborts it) and verifies it against the package's SHA-256
// digest with the public key (X then Y, 32 bytes each, big-endian). S_OK only
// for a valid signature; otherwise
//   E_ABORT              bStop was set during the fetch,
//   kRedirectNotSecure   the fetch of an https:// address was redirected to
//                        one that is not,
//   NTE_BAD_SIGNATURE    the answer is longer than any signature, or not a
//                        P-256 signature in strict DER,
//   TRUST_E_NOSIGNATURE  no signature could be fetched (an HTTP error status,
//                        an empty answer, a failed transfer),
//   TRUST_E_BAD_DIGEST   the signature does not verify: another key, or a
//                        file that is not the one signed,
// or the code of a failure to use CNG.
HRESULT VerifyPackageSignature(const unsigned char (&publicKey)[64], const std::wstring& strPackageUrl,
                               const unsigned char (&digest)[32], const std::atomic<bool>& bStop,
                               CRunningBinding& binding);

// The download job's last check before it reports the package ready, in a
// build that carries the publisher's key (QUILLFEED_PACKAGE_KEY_SET): the
// signature against that key. The digest is of the bytes the job wrote into
// the package, which nobody else can write (see PackageFile.h).
HRESULT VerifyPackage(const std::wstring& strPackageUrl, const unsigned char (&digest)[32],
                      const std::atomic<bool>& bStop, CRunningBinding& binding);
