// The update road over HTTPS and with a signed package, as a user meets it:
// the update program built from the same sources for the https:// publisher
// (the TLS front before the loopback publisher, its test CA trusted in this
// prefix only), without a package key and with the test key.
#include "DownloadRoad.h"
#include "PublisherUrl.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

using namespace qftest;

namespace
{
const std::string kSignaturePath = std::string(kSetupPackagePathA) + ".sig";

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

// The signed test package, or with a suffix one of its signatures.
std::string SignedPackageFile(const wchar_t* suffix = L"")
{
    return SignedFile(kSetupPackageName + std::wstring(suffix));
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

// The two INTEGERs of a DER signature, content bytes as written.
struct DerNumbers
{
    std::string r, s;
};

DerNumbers SplitDer(const std::string& der)
{
    const size_t nR = static_cast<unsigned char>(der.at(3));
    const size_t nS = static_cast<unsigned char>(der.at(5 + nR));
    return {der.substr(4, nR), der.substr(6 + nR, nS)};
}

std::string JoinDer(const std::string& r, const std::string& s)
{
    const std::string content = "\x02" + std::string(1, static_cast<char>(r.size())) + r + "\x02" +
                                std::string(1, static_cast<char>(s.size())) + s;
    return "\x30" + std::string(1, static_cast<char>(content.size())) + content;
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

TEST(SignedRoad, ASignedPackageIsVerifiedAndHandedOffAlsoWhenItsTransferResumed)
{
    const std::string package = SignedPackageFile();
    ASSERT_FALSE(package.empty()) << "the test package was not signed";
    PresentCertificate("good");
    // Cut short once halfway: the hash taken as the bytes arrived must be the
    // hash of the whole package, its rest appended.
    for (const bool bDropped : {false, true})
    {
        SCOPED_TRACE(bDropped ? "resumed" : "in one piece");
        DownloadRoad road;
        road.publisher().SetContent(kSetupPackagePathA, package);
        road.publisher().SetContent(kSignaturePath, SignedPackageFile(L".sig"));
        // The user accepted this very release before: not lower, so taken.
        ServeRelease(road, L"release.manifest", L"release.manifest.sig", 10);
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
        if (bDropped)
            road.publisher().SetDropAfter(kSetupPackagePathA, package.size() / 2, 1);
        auto reader = road.StartReader();
        UpdaterSession updater(road.Options(), VariantPath(L"signed"));
        ASSERT_NE(updater.dialog(), nullptr);
        EXPECT_EQ(WindowText(updater.item(1000)), L"What's new: the download test.\r\n");

        Click(updater, kIdDownload);
        ExpectHandedOff(updater, road, *reader);
        EXPECT_EQ(ReadFileBytes(road.Package()), package);
        EXPECT_EQ(road.publisher().RequestCount(kSignaturePath), 1);
        EXPECT_EQ(road.publisher().RangesAsked(kSetupPackagePathA).size(), bDropped ? 1u : 0u);
    }
}

TEST(SignedRoad, SignatureFaultsEndInTheFailureBoxWithoutThePackage)
{
    const std::string package = SignedPackageFile();
    const std::string signature = SignedPackageFile(L".sig");
    ASSERT_FALSE(signature.empty()) << "the test package was not signed";
    const DerNumbers numbers = SplitDer(signature);
    // The equipment signs until r needs its zero byte and s does not: the
    // cases below take r's away and give s a needless one.
    ASSERT_EQ(numbers.r.size(), 33u);
    ASSERT_LE(numbers.s.size(), 32u);
    std::string changedPackage = package;
    changedPackage[changedPackage.size() / 2] ^= 0x01;

    struct Case
    {
        const char* name;
        int nStatus;  // of the signature's request
        std::string signature;
        std::string package;
        const wchar_t* code;
        size_t nRate = 0;  // bytes a second of the signature's answer, 0: at once
    } cases[] = {
        {"missing", 404, signature, package, L"800B0100"},
        {"empty", 200, "", package, L"800B0100"},
        {"truncated DER", 200, signature.substr(0, signature.size() - 1), package, L"80090006"},
        {"s with a leading zero", 200, JoinDer(numbers.r, std::string(1, '\0') + numbers.s), package, L"80090006"},
        {"r with its high bit but no zero byte", 200, JoinDer(numbers.r.substr(1), numbers.s), package,
         L"80090006"},
        {"signed with another key", 200, SignedPackageFile(L".wrong-key.sig"), package,
         L"80096010"},
        {"a package changed by one byte", 200, signature, changedPackage, L"80096010"},
        // Slowly, so that the transfer is cut short at the bound, not over before.
        {"far longer than any signature", 200, std::string(64 * 1024, '0'), package, L"80090006", 16 * 1024},
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
        road.publisher().SetContent(kSetupPackagePathA, c.package);
        road.publisher().SetContent(kSignaturePath, c.signature);
        road.publisher().SetStatus(kSignaturePath, c.nStatus);
        road.publisher().SetRate(kSignaturePath, c.nRate);
        // After a failure the first click resets, the second starts.
        if (!bFirst)
            Click(updater, kIdDownload);
        bFirst = false;
        Click(updater, kIdDownload);
        ExpectRefused(updater, road, c.code);
    }
    EXPECT_EQ(road.publisher().RequestCount(kSignaturePath), static_cast<int>(std::size(cases)));
    EXPECT_EQ(CloseUpdater(updater), static_cast<DWORD>(kExitClosed));
    EXPECT_TRUE(reader->running());
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
        int nStatus = 200;  // of the manifest's request
        DWORD nSilentMs = 0;
    } cases[] = {
        {"expired", L"expired.manifest", L"expired.manifest.sig", 0, L"signed", L"A1000004"},
        {"another product", L"other-product.manifest", L"other-product.manifest.sig", 0, L"signed", L"A1000003"},
        {"signed with another key", L"release.manifest", L"release.manifest.wrong-key.sig", 0, L"signed",
         L"A1000002"},
        {"signed without the context", L"release.manifest", L"release.manifest.no-context.sig", 0, L"signed",
         L"A1000002"},
        {"older than the release accepted", L"older.manifest", L"older.manifest.sig", 10, L"signed", L"A1000005"},
        {"older than the program, for a fresh user", L"release.manifest", L"release.manifest.sig", 0,
         L"signed-newer", L"A1000005"},
        {"none", L"release.manifest", L"release.manifest.sig", 0, L"signed", L"A1000001", 404},
        {"none within the deadline", L"release.manifest", L"release.manifest.sig", 0, L"signed", L"A1000001", 200,
         INFINITE},
    };
    PresentCertificate("good");
    DownloadRoad road;
    road.publisher().SetContent(kSetupPackagePathA, SignedPackageFile());
    road.publisher().SetContent(kSignaturePath, SignedPackageFile(L".sig"));
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
        EXPECT_EQ(WindowText(updater.item(1000)), kWhatsNewFailedText);
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
    ASSERT_FALSE(package.empty()) << "the test package was not signed";
    struct Case
    {
        const char* what;
        const wchar_t* variant;
        std::vector<std::string> redirected;  // the paths answered with a redirect
        bool bToHttps;                        // to the same path under /moved, over https or plain http
    };
    const Case cases[] = {
        {"text and package, to https", L"https", {kWhatsNewTextPathA, kSetupPackagePathA}, true},
        {"text and package, to http", L"https", {kWhatsNewTextPathA, kSetupPackagePathA}, false},
        {"the signature, to https", L"signed", {kSignaturePath}, true},
        {"the signature, to http", L"signed", {kSignaturePath}, false},
    };
    PresentCertificate("good");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        DownloadRoad road;
    PresentCertificate("good");
    // Cut short once halfway: the hash taken as the bytes arrived must be the
    // hash of the whole package, its rest appended.
    for (const bool bDropped : {false, true})
    {
        SCOPED_TRACE(bDropped ? "resumed" : "in one piece");
        DownloadRoad road;
        road.publisher().SetContent(kSetupPackagePathA, package);
        road.publisher().SetContent(kSignaturePath, SignedPackageFile(L".sig"));
        // The user accepted this very release before: not lower, so taken.
        ServeRelease(road, L"release.manifest", L"release.manifest.sig", 10);
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
        if (bDropped)
            road.publisher().SetDropAfter(kSetupPackagePathA, package.size() / 2, 1);
        auto reader = road.StartReader();
        UpdaterSession updater(road.Options(), VariantPath(L"signed"));
        ASSERT_NE(updater.dialog(), nullptr);
        EXPECT_EQ(WindowText(updater.item(1000)), L"What's new: the download test.\r\n");
        bool bTextRedirected = false;
        for (const std::string& path : c.redirected)
        {
            std::string body;
            if (path == kWhatsNewTextPathA)
            {
                bTextRedirected = true;
                body = "What's new, moved.\n";
            }
            else
                body = path == kSetupPackagePathA ? package : SignedPackageFile(L".sig");
            road.publisher().SetContent("/moved" + path, body);
            const std::string base = c.bToHttps ? Narrow(QUILLFEED_PUBLISHER_URL) : Narrow(road.publisher().Url());
            road.publisher().SetRedirect(path, base + "/moved" + path);
        }
        auto reader = road.StartReader();
        UpdaterSession updater(road.Options(), VariantPath(c.variant));
        ASSERT_NE(updater.dialog(), nullptr);
        const std::wstring text = WindowText(updater.item(1000));
        if (!bTextRedirected)
            EXPECT_EQ(text, L"What's new: the download test.\r\n");
        else
            EXPECT_EQ(text, c.bToHttps ? std::wstring(L"What's new, moved.\r\n") : std::wstring(kWhatsNewFailedText));

        Click(updater, kIdDownload);
        if (c.bToHttps)
        {
            ExpectHandedOff(updater, road, *reader);
            EXPECT_EQ(ReadFileBytes(road.Package()), package);
        }
        else
        {
            ExpectRefused(updater, road, L"80072F08");
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

TEST(SignedRoad, StopOrCloseDuringAStalledSignatureEndsAtOnceAndLeavesNoPackage)
{
    enum class Ending
    {
        StopWhileTheServerNeverSendsAgain,
        StopThenTheServerSendsAgain,
        Close,
    };
    PresentCertificate("good");
    for (const Ending ending : {Ending::StopWhileTheServerNeverSendsAgain, Ending::StopThenTheServerSendsAgain,
                                Ending::Close})
    {
        SCOPED_TRACE(static_cast<int>(ending));
        DownloadRoad road;
    PresentCertificate("good");
    // Cut short once halfway: the hash taken as the bytes arrived must be the
    // hash of the whole package, its rest appended.
    for (const bool bDropped : {false, true})
    {
        SCOPED_TRACE(bDropped ? "resumed" : "in one piece");
        DownloadRoad road;
        road.publisher().SetContent(kSetupPackagePathA, package);
        road.publisher().SetContent(kSignaturePath, SignedPackageFile(L".sig"));
        // The user accepted this very release before: not lower, so taken.
        ServeRelease(road, L"release.manifest", L"release.manifest.sig", 10);
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
        if (bDropped)
            road.publisher().SetDropAfter(kSetupPackagePathA, package.size() / 2, 1);
        auto reader = road.StartReader();
        UpdaterSession updater(road.Options(), VariantPath(L"signed"));
        ASSERT_NE(updater.dialog(), nullptr);
        EXPECT_EQ(WindowText(updater.item(1000)), L"What's new: the download test.\r\n");
        // The answer's head, then nothing.
        road.publisher().SetStall(kSignaturePath, 0, INFINITE);
        UpdaterSession updater(road.Options(), VariantPath(L"signed"));
        ASSERT_NE(updater.dialog(), nullptr);
        Click(updater, kIdDownload);
        if (ending == Ending::Close)
        {
            ASSERT_TRUE(WaitUntil([&] { return road.publisher().StallsReached(kSignaturePath) == 1; }));
        }
        else
        {
            StopDuringTheStall(updater, road, kSignaturePath);
            if (ending == Ending::StopThenTheServerSendsAgain)
            {
                road.publisher().EndStalls();
                EXPECT_TRUE(WaitUntil([&] { return road.publisher().Answered(kSignaturePath) == 1; }));
            }
            else
            {
                // The next click starts at once: no worker is left waiting on the signature.
                Click(updater, kIdDownload);
                EXPECT_TRUE(WaitUntil([&] { return road.publisher().RequestCount(kSetupPackagePathA) == 2; }));
            }
        }
        EXPECT_EQ(CloseUpdater(updater), static_cast<DWORD>(kExitClosed));
        EXPECT_TRUE(road.RunFolders().empty()) << "an unverified package was left";
        EXPECT_EQ(road.Record(L"installer.txt"), "");
    }
}
