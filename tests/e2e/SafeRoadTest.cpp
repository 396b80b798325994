// The update road over HTTPS and with a signed package, as a user meets it:
// the update program built from the same sources for the https:// publisher
// (the TLS front before the loopback publisher, its test CA trusted in this
// prefix only), without a package key and with the test key.
#include "DownloadRoad.h"
#include "PublisherUrl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qftest;

namespace
{
std::wstring VariantPath(const wchar_t* variant)
{
    return TestBinDir() + L"\\..\\variants\\" + variant + L"\\QuillfeedUpdater.exe";
}

// The certificate the TLS front presents from its next connection on.
void PresentCertificate(const char* mode)
{
    WriteFileBytes(TestBinDir() + L"\\..\\tls\\mode", mode);
}

// A file of the signed test release: its manifests, their signatures, the
// What's New text they list.
std::string SignedFile(const std::wstring& name)
{
    return ReadFileBytes(TestBinDir() + L"\\signed-package\\" + name);
}

// The signed release's installer, as its manifest lists it.
std::string SignedPackageFile()
{
    return SignedFile(kSetupPackageName);
}

// The release this user has accepted, as recorded after a hand-off (0: none).
DWORD AcceptedRelease()
{
    DWORD nRelease = 0, nBytes = sizeof(nRelease);
    ::RegGetValueW(HKEY_CURRENT_USER, L"Software\\Quillfeed\\Update", L"AcceptedRelease", RRF_RT_REG_DWORD, nullptr,
                   &nRelease, &nBytes);
    return nRelease;
}

// A release the signed program accepts unless told otherwise: its manifest
// (release 10) signed with the test key and the What's New text it lists,
// for a user who has accepted nAccepted before (0: none), as the program
// keeps it in the prefix.
void ServeRelease(DownloadRoad& road, const std::wstring& manifest = L"release.manifest",
                  const std::wstring& signature = L"release.manifest.sig", DWORD nAccepted = 0)
{
    road.publisher().SetContent("/dist/release.manifest", SignedFile(manifest));
    road.publisher().SetContent("/dist/release.manifest.sig", SignedFile(signature));
    road.publisher().SetContent(kWhatsNewTextPathA, SignedFile(L"whatsnew.txt"));
    ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillfeed\\Update");
    if (nAccepted)
        ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Quillfeed\\Update", L"AcceptedRelease", REG_DWORD,
                          &nAccepted, sizeof(nAccepted));
}

// The road's end as the user sees it when nothing may be opened: the failure
// box with the code, no package left, the reader and the installer untouched,
// the dialog in its state after a failure.
void ExpectRefused(UpdaterSession& updater, const DownloadRoad& road, const std::wstring& code)
{
    const MessageBoxInfo box = WaitForFailureBox(updater);
    EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x" + code + L"\n\n")) << Narrow(box.text);
    EXPECT_TRUE(road.RunFolders().empty());
    AnswerMessageBox(box);
    EXPECT_EQ(WindowText(updater.item(kIdDownload)), L"Stop Download");
    EXPECT_EQ(road.Record(L"reader.txt").find("WM_CLOSE"), std::string::npos);
    EXPECT_EQ(road.Record(L"installer.txt"), "");
}

// Answers the ready box and sees the hand-off: exit code 1, the reader asked
// to close, the installer run from the temporary folder.
void ExpectHandedOff(UpdaterSession& updater, const DownloadRoad& road, Process& reader)
{
    const MessageBoxInfo box = WaitForReadyBox(updater);
    ASSERT_NE(box.hWnd, nullptr) << "no ready box";
    AnswerReadyBox(updater, box);
    EXPECT_TRUE(road.WaitForRecord(L"reader.txt", "WM_CLOSE")) << "the reader got no WM_CLOSE";
    EXPECT_EQ(reader.Wait(), 0u);
    EXPECT_TRUE(road.WaitForRecord(L"installer.txt", "ran ")) << "the installer did not run";
}
} // namespace

TEST(HttpsRoad, WhatsNewDownloadHandOffAndBothLinksOverHttps)
{
    DownloadRoad road;
    PresentCertificate("good");
    auto reader = road.StartReader();
    LaunchOptions options = road.Options();
    options.environment.push_back(L"QF_HTTP_RECORD=" + road.records().file(L"opened.txt"));
    UpdaterSession updater(options, VariantPath(L"https"));
    ASSERT_NE(updater.dialog(), nullptr);
    EXPECT_EQ(WindowText(updater.item(1000)), L"What's new: the download test.\r\n");

    // Space on a focused label opens its page, as a click does.
    ::PostMessageW(updater.item(1010), WM_CHAR, VK_SPACE, 0);
    ::PostMessageW(updater.item(1009), WM_CHAR, VK_SPACE, 0);
    for (const wchar_t* path : {kWhatsNewPagePath, kHowToUpgradePagePath})
    {
        const std::wstring page = QUILLFEED_PUBLISHER_URL + std::wstring(path) + L"\n";
        ASSERT_EQ(Narrow(page).rfind("https://localhost:", 0), 0u);
        EXPECT_TRUE(road.WaitForRecord(L"opened.txt", Narrow(page))) << road.Record(L"opened.txt");
    }

    Click(updater, kIdDownload);
    ExpectHandedOff(updater, road, *reader);
    EXPECT_EQ(ReadFileBytes(road.Package()), ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
    EXPECT_EQ(road.publisher().RequestCount(kWhatsNewTextPathA), 1);
    EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), 1);
}

TEST(HttpsRoad, CertificateFaultsRefuseTheTextAndThePackage)
{
    DownloadRoad road;
    auto reader = road.StartReader();
    for (const char* mode : {"other-host", "expired", "untrusted"})
    {
        SCOPED_TRACE(mode);
        PresentCertificate(mode);
        UpdaterSession updater(road.Options(), VariantPath(L"https"));
        ASSERT_NE(updater.dialog(), nullptr);
        EXPECT_EQ(WindowText(updater.item(1000)), kWhatsNewFailedText);
        Click(updater, kIdDownload);
        ExpectRefused(updater, road, L"800C0019");
        EXPECT_EQ(CloseUpdater(updater), static_cast<DWORD>(kExitClosed));
    }
    PresentCertificate("good");
    // Not a byte went past the TLS front.
    EXPECT_EQ(road.publisher().Requests().size(), 0u);
    EXPECT_TRUE(reader->running());
}

TEST(SignedRoad, AListedPackageIsHandedOffAndItsReleaseRecordedAlsoWhenItsTransferResumed)
{
    const std::string package = SignedPackageFile();
    ASSERT_FALSE(package.empty()) << "the test release was not signed";
    PresentCertificate("good");
    // Cut short once halfway: the hash taken as the bytes arrived must be the
    // hash of the whole package, its rest appended.
    for (const bool bDropped : {false, true})
    {
        SCOPED_TRACE(bDropped ? "resumed" : "in one piece");
        DownloadRoad road;
        road.publisher().SetContent(kSetupPackagePathA, package);
        // The user accepted this very release before (not lower, so taken), or none.
        ServeRelease(road, L"release.manifest", L"release.manifest.sig", bDropped ? 0 : 10);
        if (!bDropped)
        {
            // A What's New text one byte off its manifest entry is not shown.
            std::string text = SignedFile(L"whatsnew.txt");
            text[0] ^= 0x20;
            road.publisher().SetContent(kWhatsNewTextPathA, text);
            UpdaterSession refused(road.Options(), VariantPath(L"signed"));
            ASSERT_NE(refused.dialog(), nullptr);
            EXPECT_EQ(WindowText(refused.item(1000)), kWhatsNewFailedText);
            EXPECT_EQ(CloseUpdater(refused), static_cast<DWORD>(kExitClosed));
            road.publisher().SetContent(kWhatsNewTextPathA, SignedFile(L"whatsnew.txt"));
        }
        // In one piece without Content-Length: the listed size alone bounds it.
        road.publisher().SetOmitContentLength(kSetupPackagePathA, !bDropped);
        if (bDropped)
            road.publisher().SetDropAfter(kSetupPackagePathA, package.size() / 2, 1);
        auto reader = road.StartReader();
        UpdaterSession updater(road.Options(), VariantPath(L"signed"));
        ASSERT_NE(updater.dialog(), nullptr);
        EXPECT_EQ(WindowText(updater.item(1000)), L"What's new: the download test.\r\n");

        Click(updater, kIdDownload);
        ExpectHandedOff(updater, road, *reader);
        EXPECT_EQ(ReadFileBytes(road.Package()), package);
        EXPECT_EQ(road.publisher().RangesAsked(kSetupPackagePathA).size(), bDropped ? 1u : 0u);
        EXPECT_EQ(AcceptedRelease(), 10u);
    }
}

TEST(SignedRoad, APackageNotAsListedEndsInTheFailureBoxWithoutThePackageAndRecordsNothing)
{
    const std::string package = SignedPackageFile();
    ASSERT_FALSE(package.empty()) << "the test release was not signed";
    std::string changedPackage = package;
    changedPackage[changedPackage.size() / 2] ^= 0x01;
    PathBehaviour plain, unannounced, endless;
    unannounced.bOmitContentLength = true;
    endless.bEndless = true;
    // At a steady 256 KB/s: Wine's binding hands a fast endless stream on only
    // in bursts, minutes apart under load, which would try the wait instead.
    endless.nBytesPerSecond = 256 * 1024;

    struct Case
    {
        const char* name;
        std::string package;
        PathBehaviour behaviour;
    } cases[] = {
        {"the zipped package served for the installer", SignedFile(kZipPackageName), plain},
        {"announced longer than listed", package + "x", plain},
        {"longer than listed, unannounced", package + "x", unannounced},
        {"without end", package, endless},
        {"shorter than listed, unannounced", package.substr(0, package.size() - 1), unannounced},
        {"changed by one byte", changedPackage, plain},
    };

    DownloadRoad road;
    PresentCertificate("good");
    ServeRelease(road);
    auto reader = road.StartReader();
    UpdaterSession updater(road.Options(), VariantPath(L"signed"));
    ASSERT_NE(updater.dialog(), nullptr);
    bool bFirst = true;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(updater.process().running()) << "the update program has ended";
        road.publisher().SetBehaviour(kSetupPackagePathA, c.behaviour);
        road.publisher().SetContent(kSetupPackagePathA, c.package);
        // After a failure the first click resets, the second starts.
        if (!bFirst)
            Click(updater, kIdDownload);
        bFirst = false;
        Click(updater, kIdDownload);
        ExpectRefused(updater, road, L"A1000007");
    }
    EXPECT_EQ(CloseUpdater(updater), static_cast<DWORD>(kExitClosed));
    EXPECT_TRUE(reader->running());
    EXPECT_EQ(AcceptedRelease(), 0u);
}

TEST(SignedRoad, ARefusedManifestShowsNoTextAndEveryDownloadFailsAtOnce)
{
    struct Case
    {
        const char* name;
        const wchar_t* manifest;
        const wchar_t* signature;
        DWORD nAccepted;
        const wchar_t* variant;
        const wchar_t* code;
        int nStatus = 200; // of the manifest's request
        DWORD nSilentMs = 0;
        bool bTextListed = false; // the manifest is accepted and lists the text
    } cases[] = {
        {"expired", L"expired.manifest", L"expired.manifest.sig", 0, L"signed", L"A1000004"},
        {"another product", L"other-product.manifest", L"other-product.manifest.sig", 0, L"signed", L"A1000003"},
        {"signed with another key", L"release.manifest", L"release.manifest.wrong-key.sig", 0, L"signed",
         L"A1000002"},
        {"signed without the context", L"release.manifest", L"release.manifest.no-context.sig", 0, L"signed",
         L"A1000002"},
        {"a signature cut short by a byte", L"release.manifest", L"release.manifest.truncated.sig", 0, L"signed",
         L"A1000002"},
        {"older than the release accepted", L"older.manifest", L"older.manifest.sig", 10, L"signed", L"A1000005"},
        {"older than the program, for a fresh user", L"release.manifest", L"release.manifest.sig", 0, L"signed-newer",
         L"A1000005"},
        {"none", L"release.manifest", L"release.manifest.sig", 0, L"signed", L"A1000001", 404},
        {"none within the deadline", L"release.manifest", L"release.manifest.sig", 0, L"signed", L"A1000001", 200,
         INFINITE},
        {"without the installer", L"unlisted.manifest", L"unlisted.manifest.sig", 0, L"signed", L"A1000006", 200, 0,
         true},
    };
    PresentCertificate("good");
    DownloadRoad road;
    road.publisher().SetContent(kSetupPackagePathA, SignedPackageFile());
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ServeRelease(road, c.manifest, c.signature, c.nAccepted);
        PathBehaviour manifest;
        manifest.nStatus = c.nStatus;
        manifest.nSilentMs = c.nSilentMs;
        road.publisher().SetBehaviour("/dist/release.manifest", manifest);
        UpdaterSession updater(road.Options(), VariantPath(c.variant));
        ASSERT_NE(updater.dialog(), nullptr);
        EXPECT_EQ(WindowText(updater.item(1000)),
                  c.bTextListed ? L"What's new: the download test.\r\n" : std::wstring(kWhatsNewFailedText));
        Click(updater, kIdDownload);
        const MessageBoxInfo box = WaitForFailureBox(updater);
        EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x" + std::wstring(c.code) + L"\n\nThe "))
            << Narrow(box.text);
        EXPECT_EQ(box.text.find(L"expired") != std::wstring::npos, std::wstring(c.code) == L"A1000004");
        AnswerMessageBox(box);
        EXPECT_EQ(CloseUpdater(updater), static_cast<DWORD>(kExitClosed));
        EXPECT_TRUE(road.RunFolders().empty());
    }
    EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), 0);
    ServeRelease(road);
}

TEST(HttpsRoad, RedirectsStayOnHttpsOrTheFetchFails)
{
    const std::string package = SignedPackageFile();
    ASSERT_FALSE(package.empty()) << "the test release was not signed";
    const std::wstring shown = L"What's new: the download test.\r\n";
    struct Case
    {
        const char* what;
        const wchar_t* variant;
        std::vector<std::string> redirected; // the paths answered with a redirect
        bool bToHttps;                       // to the same path under /moved, over https or plain http
        std::wstring text;                   // What's New as shown
        const wchar_t* code;                 // of the failure box, when not handed off
    };
    const Case cases[] = {
        {"text and package, to https",
         L"https",
         {kWhatsNewTextPathA, kSetupPackagePathA},
         true,
         L"What's new, moved.\r\n",
         nullptr},
        {"text and package, to http",
         L"https",
         {kWhatsNewTextPathA, kSetupPackagePathA},
         false,
         kWhatsNewFailedText,
         L"80072F08"},
        {"the manifest and the package, to https",
         L"signed",
         {"/dist/release.manifest", kSetupPackagePathA},
         true,
         shown,
         nullptr},
        {"the manifest, to http", L"signed", {"/dist/release.manifest"}, false, kWhatsNewFailedText, L"A1000001"},
    };
    PresentCertificate("good");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        DownloadRoad road;
        ServeRelease(road);
        road.publisher().SetContent(kSetupPackagePathA, package);
        for (const std::string& path : c.redirected)
        {
            std::string body = path == kSetupPackagePathA ? package : SignedFile(L"release.manifest");
            if (path == kWhatsNewTextPathA)
                body = "What's new, moved.\n";
            road.publisher().SetContent("/moved" + path, body);
            const std::string base = c.bToHttps ? Narrow(QUILLFEED_PUBLISHER_URL) : Narrow(road.publisher().Url());
            road.publisher().SetRedirect(path, base + "/moved" + path);
        }
        auto reader = road.StartReader();
        UpdaterSession updater(road.Options(), VariantPath(c.variant));
        ASSERT_NE(updater.dialog(), nullptr);
        EXPECT_EQ(WindowText(updater.item(1000)), c.text);

        Click(updater, kIdDownload);
        if (c.bToHttps)
        {
            ExpectHandedOff(updater, road, *reader);
            EXPECT_EQ(ReadFileBytes(road.Package()), package);
        }
        else
        {
            const MessageBoxInfo box = WaitForFailureBox(updater);
            EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x" + std::wstring(c.code) + L"\n\n"))
                << Narrow(box.text);
            AnswerMessageBox(box);
            EXPECT_TRUE(road.RunFolders().empty());
            EXPECT_EQ(CloseUpdater(updater), static_cast<DWORD>(kExitClosed));
        }
        // Over https the redirect is followed to its end. (Over plain http the
        // binding may already have asked before it tells where it went.)
        for (const std::string& path : c.redirected)
        {
            if (c.bToHttps)
            {
                EXPECT_EQ(road.publisher().RequestCount("/moved" + path), 1) << path;
            }
        }
    }
}
