// The release manifest of a build that carries the publisher's key: one small
// text, signed with that key, that names the product, a release number that
// only ever grows, the time after which it is stale, and the exact size and
// SHA-256 of every file of the release. The program fetches it at start and
// takes a file (the What's New text, the package) only as it lists it, so a
// network that answers for the publisher cannot offer an older release, keep
// offering a stale one for ever, or serve one file for another.
//
// The text, ASCII with LF line ends, in this order and nothing else:
//   Quillfeed release manifest 1
//   product Quillfeed
//   release 42
//   expires 2027-01-08T12:00:00Z
//   file QuillfeedSetup.exe 1048576 <64 lowercase hex digits of SHA-256>
//   file ...
// Its signature is the publisher's ECDSA P-256 signature (DER) over the
// SHA-256 of kManifestSignatureContext followed by the text.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "WhatsNew.h"

// Where the publisher serves the manifest and its signature, after its base URL.
extern const wchar_t kManifestPath[];          // "/dist/release.manifest"
extern const wchar_t kManifestSignaturePath[]; // "/dist/release.manifest.sig"
// The name the What's New text is listed under.
extern const wchar_t kWhatsNewFileName[]; // "whatsnew.txt"

// What the signature covers before the text, its terminating zero included:
// a signature that the same key made for anything else (a package) can never
// pass as a manifest's.
constexpr char kManifestSignatureContext[] = "Quillfeed release manifest signature";

// The manifest is a few hundred bytes; a longer answer is not one.
constexpr size_t kMaxManifestBytes = 1024;

// Why a manifest, or a file against it, is refused. The system has no text
// for these codes; ReleaseRefusalText has the program's own.
constexpr HRESULT kManifestMissing = static_cast<HRESULT>(0xA1000001L);      // not fetched, nor its signature
constexpr HRESULT kManifestBadSignature = static_cast<HRESULT>(0xA1000002L); // not the publisher's signature
constexpr HRESULT kManifestWrongProduct = static_cast<HRESULT>(0xA1000003L);
constexpr HRESULT kManifestExpired = static_cast<HRESULT>(0xA1000004L);
constexpr HRESULT kManifestRolledBack = static_cast<HRESULT>(0xA1000005L); // older than already accepted
constexpr HRESULT kManifestFileNotListed = static_cast<HRESULT>(0xA1000006L);
constexpr HRESULT kManifestFileMismatch = static_cast<HRESULT>(0xA1000007L); // size or SHA-256
constexpr HRESULT kManifestMalformed = static_cast<HRESULT>(0xA1000008L);    // signed, but not in the format

// The program's text for one of the codes above; null for any other code.
// The failure box (DownloadFailureText) looks here before the system.
LPCWSTR ReleaseRefusalText(HRESULT hr);

// One file of a release as the manifest lists it.
struct ManifestFile
{
    std::string strName;
    ULONGLONG nSize = 0;
    unsigned char sha256[32] = {};
};

struct ReleaseManifest
{
    std::string strProduct;
    DWORD nRelease = 0;
    // The expiry, UTC, as the number yyyymmddhhmmss: later times are larger.
    ULONGLONG nExpires = 0;
    std::vector<ManifestFile> files;
};

// S_OK and the manifest when the text has exactly the format above:
//   - at most kMaxManifestBytes, printable ASCII and LF only, an LF at the
//     end of every line, the last included, and nothing after it;
//   - the first line exactly "Quillfeed release manifest 1";
//   - "product NAME", "release N", "expires TIME", then "file NAME SIZE HASH"
//     lines, fields parted by single spaces;
//   - NAME: 1 to 64 of A-Z a-z 0-9 . _ -, not starting with a dot; a file
//     named once only;
//   - N and SIZE: decimal digits, no sign, no leading zero; N at most
//     4294967295, SIZE at most 15 digits;
//   - TIME: YYYY-MM-DDTHH:MM:SSZ, a real date and time of the years 1970 to 9999;
//   - HASH: 64 lowercase hexadecimal digits.
// kManifestMalformed otherwise.
HRESULT ParseReleaseManifest(const std::string& text, ReleaseManifest& manifest);

// The UTC time as ReleaseManifest::nExpires counts it.
ULONGLONG ManifestTime(const SYSTEMTIME& utc);

// Checks a fetched manifest: S_OK only when its signature (DER, as the
// package signatures) verifies against the key over the context and the
// text, the text has the format, the product is "Quillfeed", now (UTC) is
// before its expiry, and its release is not lower than nFloor. Otherwise the
// first refusal in that order. The manifest is filled only with S_OK.
HRESULT AcceptReleaseManifest(const unsigned char (&publicKey)[64], const std::string& text,
                              const std::string& signature, const SYSTEMTIME& nowUtc, DWORD nFloor,
                              ReleaseManifest& manifest);

// The highest release this user has accepted, the DWORD AcceptedRelease
// under HKEY_CURRENT_USER\Software\Quillfeed\Update; 0 when none is
// recorded or the value is not a DWORD.
DWORD AcceptedReleaseOfUser();
// Raises the recorded release to nRelease; a lower one leaves it as it is.
HRESULT RecordAcceptedRelease(DWORD nRelease);

// The size and hash a file of the release must have.
struct ExpectedFile
{
    ULONGLONG nSize = 0;
    unsigned char sha256[32] = {};
};

// What this run of the program took from the publisher's manifest: the
// manifest it accepted at start, or why it accepted none. Set once on the
// dialog's thread before the dialog shows, and only read after that, so a
// download worker started later reads it without a lock.
class CReleaseCheck
{
public:
    // A build without the publisher's key checks nothing.
    void NotRequired()
    {
        m_bRequired = false;
        m_hrRefusal = S_OK;
    }
    // The fetched manifest and signature (see FetchTogether), checked by
    // AcceptReleaseManifest; a failed fetch or an empty answer is
    // kManifestMissing.
    void Accept(const unsigned char (&publicKey)[64], const BoundedText& manifest, const BoundedText& signature,
                const SYSTEMTIME& nowUtc, DWORD nFloor);

    // S_OK when downloads may go on (a manifest was accepted, or none is
    // required); otherwise why the manifest was refused (kManifestMissing
    // until one was checked).
    HRESULT Refusal() const { return m_hrRefusal; }
    // What the file named (the last segment of its address) must be: S_OK
    // with its size and SHA-256; S_FALSE when nothing is required (a build
    // without the key); the refusal when no manifest was accepted;
    // kManifestFileNotListed when the manifest does not name it.
    HRESULT Expected(const std::wstring& strName, ExpectedFile& file) const;
    // The whole of a file fetched into memory against its entry: S_OK when
    // it has the listed size and SHA-256 (or nothing is required), else the
    // code of Expected or kManifestFileMismatch.
    HRESULT CheckBytes(const std::wstring& strName, const std::string& bytes) const;
    // After a successful hand-off: the accepted release becomes this user's
    // floor. S_FALSE when nothing was accepted.
    HRESULT RecordHandOff() const;

private:
    bool m_bRequired = true;
    HRESULT m_hrRefusal = kManifestMissing;
    ReleaseManifest m_manifest;
};

// At start: the What's New text's bytes for the box. A build that carries
// the publisher's key fetches the manifest and its signature together with
// the text, within the text's one deadline, checks the manifest against the
// key, the built-in release number and this user's, and the text against
// the manifest: S_OK only for a text the manifest lists as it is. Without
// the key the text alone, as FetchWhatsNew fetches it.
HRESULT FetchStartTexts(CReleaseCheck& release, std::string& whatsNew);
