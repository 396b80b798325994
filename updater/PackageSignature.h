// The publisher's ECDSA P-256 signatures, as `openssl dgst -sha256 -sign`
// writes them, checked against the public key that a signed build carries
// (the build setting QUILLFEED_PACKAGE_PUBLIC_KEY). The key signs the release
// manifest (ReleaseManifest.h), which lists each package's size and SHA-256.
#pragma once

#include <windows.h>

#include <cstddef>

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
