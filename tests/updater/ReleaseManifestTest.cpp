// The release manifest: its format, read strictly; which manifests are
// accepted (the test key's signature over the context and the text, the
// product, the expiry, the release floor), with the manifests that the build
// signed with the test keys; the files checked against it; the user's record.
#include "ReleaseManifest.h"

#include "DownloadJob.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>

#include "TestSupport.h"

using namespace qftest;

namespace
{
const std::string kHash(64, 'a');
const std::string kHead =
    "Quillfeed release manifest 1\nproduct Quillfeed\nrelease 42\nexpires 2027-01-08T12:00:00Z\n";
const std::string kGood = kHead + "file QuillfeedSetup.exe 1048576 " + kHash + "\nfile whatsnew.txt 0 " + kHash +
                          "\n";

std::string Signed(const wchar_t* name)
{
    return ReadFileBytes(TestBinDir() + L"\\signed-package\\" + name);
}

// The UTC time yyyymmddhhmmss.
SYSTEMTIME At(ULONGLONG n)
{
    const auto part = [&](ULONGLONG nDivisor, ULONGLONG nModulo) {
        return static_cast<WORD>(n / nDivisor % nModulo);
    };
    return {part(10000000000, 10000), part(100000000, 100), 0, part(1000000, 100), part(10000, 100),
            part(100, 100),           part(1, 100),         0};
}

BoundedText Fetched(std::string bytes, HRESULT hr = S_OK)
{
    BoundedText text;
    text.hr = hr;
    text.bytes = std::move(bytes);
    return text;
}
} // namespace

TEST(ReleaseManifest, TheFormatIsReadStrictlyAndEveryOtherShapeRefused)
{
    ReleaseManifest manifest;
    ASSERT_EQ(ParseReleaseManifest(kGood, manifest), S_OK);
    EXPECT_EQ(manifest.strProduct, "Quillfeed");
    EXPECT_EQ(manifest.nRelease, 42u);
    EXPECT_EQ(manifest.nExpires, 20270108120000ULL);
    ASSERT_EQ(manifest.files.size(), 2u);
    EXPECT_EQ(manifest.files[0].strName, "QuillfeedSetup.exe");
    EXPECT_EQ(manifest.files[0].nSize, 1048576u);
    EXPECT_EQ(manifest.files[0].sha256[31], 0xAA);
    EXPECT_EQ(manifest.files[1].nSize, 0u);

    // Exactly 1 KiB, in lines of the longest names.
    std::string full = kHead;
    for (char c = 'a'; full.size() + 211 <= 1024; ++c)
        full += "file " + std::string(64, c) + " 1 " + kHash + "\n";
    full += "file " + std::string(1024 - full.size() - 73, 'z') + " 1 " + kHash + "\n";
    // Edits of the good text: what is replaced, by what, and whether it is taken.
    const std::string whatsNew = "file whatsnew.txt 0 " + kHash + "\n";
    struct Case
    {
        std::string from, to;
        bool bTaken;
    } cases[] = {
        {kGood, full, true},
        {kGood, full.substr(0, full.size() - 1) + "z\n", false},
        {kGood, kHead, true},
        {"release 42", "release 4294967295", true},
        {"2027-01-08T12:00:00Z", "2024-02-29T23:59:59Z", true},
        {"whatsnew.txt 0", std::string(64, 'n') + " 999999999999999", true},
        {"manifest 1", "manifest 2", false},
        {"product Quillfeed\nrelease 42", "release 42\nproduct Quillfeed", false},
        {kGood, "Quillfeed release manifest 1\nproduct Quillfeed\nrelease 42\n", false},
        {"manifest 1\n", "manifest 1\r\n", false},
        {"product Quillfeed", "product  Quillfeed", false},
        {"product Quillfeed", "product Quillfeed ", false},
        {"product Quillfeed", "Product Quillfeed", false},
        {"product Quillfeed", "product Quill/feed", false},
        {"release 42", "release 042", false},
        {"release 42", "release +42", false},
        {"release 42", "release 4294967296", false},
        {"release 42", "release 42 43", false},
        {"file whatsnew.txt", "File whatsnew.txt", false},
        {"2027-01-08T", "2027-01-08 ", false},
        {"12:00:00Z", "12:00:00", false},
        {"2027-01-08", "2027-01-0a", false},
        {"2027-01-08", "2027-13-08", false},
        {"2027-01-08", "2027-02-29", false},
        {"2027-01-08", "2100-02-29", false},
        {"2027-01-08", "2000-02-29", true},
        {"2027-01-08", "2027-00-08", false},
        {"2027-01-08", "2027-01-00", false},
        {"2027-01-08", "2027-01.08", false},
        {"T12:00:00Z", "T12:60:00Z", false},
        {"T12:00:00Z", "T12:00.00Z", false},
        {"2027-01-08", "1969-12-31", false},
        {"T12:00:00Z", "T24:00:00Z", false},
        {"T12:00:00Z", "T12:00:60Z", false},
        {whatsNew, whatsNew.substr(0, whatsNew.size() - 1), false},
        {whatsNew, whatsNew + "x", false},
        {whatsNew, whatsNew + "\n", false},
        {whatsNew, whatsNew + "file whatsnew.txt 1 " + kHash + "\n", false},
        {"whatsnew.txt 0", "whatsnew.txt 01", false},
        {"whatsnew.txt 0", "whatsnew.txt -1", false},
        {"whatsnew.txt 0", "whatsnew.txt 1000000000000000", false},
        {"whatsnew.txt 0", "whatsnew.txt 0 0", false},
        {"whatsnew.txt 0 " + kHash, "whatsnew.txt 0", false},
        {"whatsnew.txt", ".whatsnew.txt", false},
        {"whatsnew.txt", "dist/whatsnew.txt", false},
        {"whatsnew.txt", std::string(65, 'n'), false},
        {kHash + "\n", kHash.substr(1) + "\n", false},
        {kHash + "\n", kHash + "a\n", false},
        {kHash + "\n", kHash.substr(1) + "A\n", false},
        {kHash + "\n", kHash.substr(1) + "g\n", false},
        {kHash + "\n", kHash + " \n", false},
        {"whatsnew.txt", std::string("whats\0new.txt", 13), false},
        {"whatsnew.txt", "whatsn\xE9w.txt", false},
    };
    for (const Case& c : cases)
    {
        std::string text = kGood;
        const size_t nAt = text.rfind(c.from);
        ASSERT_NE(nAt, std::string::npos) << c.from;
        text.replace(nAt, c.from.size(), c.to);
        EXPECT_EQ(ParseReleaseManifest(text, manifest), c.bTaken ? S_OK : kManifestMalformed) << text;
    }
}

TEST(ReleaseManifest, OnlyTheKeysSignatureOverTheContextAndACurrentManifestOfThisProductPass)
{
    const std::string key = Signed(L"release-public.xy");
    ASSERT_EQ(key.size(), 64u) << "the test manifests were not made";
    unsigned char publicKey[64];
    std::memcpy(publicKey, key.data(), 64);
    const std::string text = Signed(L"release.manifest");
    const std::string signature = Signed(L"release.manifest.sig");
    ReleaseManifest listed;
    ASSERT_EQ(ParseReleaseManifest(text, listed), S_OK);
    const SYSTEMTIME now = At(20260101000000);
    struct Case
    {
        const char* name;
        BoundedText manifest;
        BoundedText signature;
        SYSTEMTIME now;
        DWORD nFloor;
        HRESULT hr;
    } cases[] = {
        {"current, release 10 over a floor of 10", Fetched(text), Fetched(signature), now, 10, S_OK},
        {"a floor of 11", Fetched(text), Fetched(signature), now, 11, kManifestRolledBack},
        {"just before it expires", Fetched(text), Fetched(signature), At(listed.nExpires - 1), 0, S_OK},
        {"when it expires", Fetched(text), Fetched(signature), At(listed.nExpires), 0, kManifestExpired},
        {"signed expired", Fetched(Signed(L"expired.manifest")), Fetched(Signed(L"expired.manifest.sig")), now, 0,
         kManifestExpired},
        {"another product", Fetched(Signed(L"other-product.manifest")),
         Fetched(Signed(L"other-product.manifest.sig")), now, 0, kManifestWrongProduct},
        {"signed with another key", Fetched(text), Fetched(Signed(L"release.manifest.wrong-key.sig")), now, 0,
         kManifestBadSignature},
        {"signed without the context", Fetched(text), Fetched(Signed(L"release.manifest.no-context.sig")), now, 0,
         kManifestBadSignature},
        {"another text's signature", Fetched(text), Fetched(Signed(L"older.manifest.sig")), now, 0,
         kManifestBadSignature},
        {"a signature that is not DER", Fetched(text), Fetched(signature.substr(1)), now, 0, kManifestBadSignature},
        {"a signature over 1 KiB", Fetched(text), Fetched(std::string(1025, '0')), now, 0, kManifestBadSignature},
        {"a manifest over 1 KiB", Fetched(text + std::string(1025 - text.size(), '\n')), Fetched(signature), now, 0,
         kManifestBadSignature},
        {"signed, not in the format", Fetched(Signed(L"malformed.manifest")),
         Fetched(Signed(L"malformed.manifest.sig")), now, 0, kManifestMalformed},
        // A failed fetch counts as none, whatever it received.
        {"no manifest", Fetched(text, INET_E_DOWNLOAD_FAILURE), Fetched(signature), now, 0, kManifestMissing},
        {"an empty manifest", Fetched(""), Fetched(signature), now, 0, kManifestMissing},
        {"no signature", Fetched(text), Fetched(signature, INET_E_DOWNLOAD_FAILURE), now, 0, kManifestMissing},
        {"an empty signature", Fetched(text), Fetched(""), now, 0, kManifestMissing},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CReleaseCheck check;
        check.Accept(publicKey, c.manifest, c.signature, c.now, c.nFloor);
        EXPECT_EQ(check.Refusal(), c.hr);
        ExpectedFile file;
        EXPECT_EQ(check.Expected(L"whatsnew.txt", file), c.hr);
    }

    // The files of an accepted manifest, by name, size and hash.
    CReleaseCheck check;
    check.Accept(publicKey, Fetched(text), Fetched(signature), now, 0);
    const std::string whatsNew = Signed(L"whatsnew.txt");
    ExpectedFile file;
    ASSERT_EQ(check.Expected(L"QuillfeedSetup.exe", file), S_OK);
    EXPECT_EQ(file.nSize, Signed(L"QuillfeedSetup.exe").size());
    EXPECT_EQ(check.CheckBytes(L"QuillfeedSetup.exe", Signed(L"QuillfeedSetup.exe")), S_OK);
    EXPECT_EQ(check.CheckBytes(L"whatsnew.txt", whatsNew), S_OK);
    std::string changed = whatsNew;
    changed[3] ^= 1;
    EXPECT_EQ(check.CheckBytes(L"whatsnew.txt", changed), kManifestFileMismatch);
    EXPECT_EQ(check.CheckBytes(L"whatsnew.txt", whatsNew + "\n"), kManifestFileMismatch);
    EXPECT_EQ(check.CheckBytes(L"Quillfeed.zip", whatsNew), kManifestFileMismatch);
    EXPECT_EQ(check.Expected(L"quillfeedsetup.exe", file), kManifestFileNotListed);
    EXPECT_EQ(check.Expected(L"QuillfeedSetup.ex", file), kManifestFileNotListed);
    EXPECT_EQ(check.Expected(L"QuillfeedSetup.ex\x00E9", file), kManifestFileNotListed);
    CReleaseCheck none;
    none.NotRequired();
    EXPECT_EQ(none.Expected(L"QuillfeedSetup.exe", file), S_FALSE);
    EXPECT_EQ(none.CheckBytes(L"whatsnew.txt", changed), S_OK);

    // Its release becomes the user's after the hand-off; a refused one never does.
    const auto reset = [] { ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillfeed\\Update"); };
    reset();
    EXPECT_EQ(CReleaseCheck().RecordHandOff(), S_FALSE);
    EXPECT_EQ(none.RecordHandOff(), S_FALSE);
    EXPECT_EQ(check.RecordHandOff(), S_OK);
    EXPECT_EQ(AcceptedReleaseOfUser(), 10u);
    reset();
}

TEST(ReleaseManifest, TheUsersAcceptedReleaseOnlyGrows)
{
    const wchar_t kKey[] = L"Software\\Quillfeed\\Update";
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
    EXPECT_EQ(AcceptedReleaseOfUser(), 0u);
    for (const DWORD nRelease : {7u, 5u, 9u, 0u})
        EXPECT_EQ(RecordAcceptedRelease(nRelease), S_OK);
    EXPECT_EQ(AcceptedReleaseOfUser(), 9u);
    // A value of another type or size counts as none.
    const DWORD nTwelve = 12;
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"AcceptedRelease", REG_BINARY, &nTwelve, 4);
    EXPECT_EQ(AcceptedReleaseOfUser(), 0u);
    ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, L"AcceptedRelease", REG_DWORD, &nTwelve, 2);
    EXPECT_EQ(AcceptedReleaseOfUser(), 0u);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
}

TEST(ReleaseManifest, EachRefusalHasItsOwnCodeAndText)
{
    const HRESULT codes[] = {kManifestMissing,    kManifestBadSignature,  kManifestWrongProduct, kManifestExpired,
                             kManifestRolledBack, kManifestFileNotListed, kManifestFileMismatch, kManifestMalformed};
    std::set<std::wstring> texts;
    for (const HRESULT hr : codes)
    {
        ASSERT_NE(ReleaseRefusalText(hr), nullptr) << std::hex << hr;
        texts.insert(ReleaseRefusalText(hr));
    }
    EXPECT_EQ(texts.size(), std::size(codes));
    EXPECT_EQ(DownloadFailureText(kManifestExpired),
              L"Download failed.  Error = 0xA1000004\n\nThe publisher's release manifest has expired. "
              L"Please tell the publisher.");
    EXPECT_EQ(ReleaseRefusalText(E_ABORT), nullptr);
    EXPECT_EQ(DownloadFailureText(E_ABORT).rfind(L"Download failed.  Error = 0x80004004\n\n", 0), 0u);
}
