// The download and the hand-off as a user meets them: the real update program
// against the loopback publisher, the real message boxes read and answered,
// the reader, installer and .zip stand-ins writing down what reached them.
#include "DownloadRoad.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace qftest;

namespace
{
// The road with the update program started on it, its dialog up.
class UpdaterOnTheRoad : public ::testing::Test
{
protected:
    void SetUp() override
    {
        updater = road.StartUpdater();
        ASSERT_NE(updater->dialog(), nullptr);
    }

    DownloadRoad road;
    std::unique_ptr<UpdaterSession> updater;
};
} // namespace

// The suites of the road, named for what they try.
using DownloadHandOff = UpdaterOnTheRoad;
using DownloadFailure = UpdaterOnTheRoad;
using DownloadStop = UpdaterOnTheRoad;
using DownloadClose = UpdaterOnTheRoad;
using DownloadCommand = UpdaterOnTheRoad;

TEST_F(DownloadHandOff, InstallerDownloadedThenReaderClosedAndInstallerRunWithExitCodeOne)
{
    auto reader = road.StartReader();
    Click(*updater, kIdDownload);
    const MessageBoxInfo box = WaitForReadyBox(*updater);
    ASSERT_NE(box.hWnd, nullptr) << "no ready box";
    EXPECT_TRUE(box.icon) << "the ready box has an information icon";
    EXPECT_TRUE(box.OkOnly());
    // While the box is up: the bar already stands at 100, the progress line
    // shows the whole size, and the reader has not been asked yet.
    EXPECT_EQ(ProgressPosition(*updater), 100);
    EXPECT_TRUE(StartsWith(WindowText(updater->item(kIdStatusText)), L"Downloaded "))
        << Narrow(WindowText(updater->item(kIdStatusText)));
    EXPECT_TRUE(::IsWindowVisible(updater->item(kIdProgress)));
    EXPECT_EQ(road.Record(L"reader.txt").find("WM_CLOSE"), std::string::npos);
    // And the package is held for the hand-off in a folder of its own: another
    // program can neither write it nor move it or its folder aside, nor make
    // a folder of the same name.
    ASSERT_EQ(road.RunFolders().size(), 1u);
    const std::wstring folder = road.RunFolders().front();
    const std::wstring package = road.Package();
    const unique_hfile writer(::CreateFileW(package.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer) << "the package could be opened for writing";
    EXPECT_FALSE(::MoveFileExW(package.c_str(), (package + L".aside").c_str(), 0)) << "the package could be renamed";
    EXPECT_FALSE(::DeleteFileW(package.c_str())) << "the package could be deleted";
    EXPECT_FALSE(::MoveFileExW(folder.c_str(), (folder + L".aside").c_str(), 0)) << "the folder could be renamed";
    EXPECT_FALSE(::CreateDirectoryW(folder.c_str(), nullptr));

    AnswerReadyBox(*updater, box);
    EXPECT_TRUE(road.WaitForRecord(L"reader.txt", "WM_CLOSE")) << "the reader got no WM_CLOSE";
    EXPECT_EQ(reader->Wait(), 0u);

    ASSERT_TRUE(road.WaitForRecord(L"installer.txt", "ran ")) << "the installer did not run";
    const std::string expected = "ran " + Narrow(Lower(package));
    const std::string record = road.Record(L"installer.txt");
    EXPECT_NE(Narrow(Lower(std::wstring(record.begin(), record.end()))).find(expected), std::string::npos) << record;
    // Opened to be seen: the installer is asked to show its window normally.
    EXPECT_NE(record.find("\nshow 5\n"), std::string::npos) << record;
    // Started in its own folder, it finds no library that someone planted in
    // the temporary folder.
    EXPECT_NE(record.find("\nplanted library not found\n"), std::string::npos) << record;
    EXPECT_EQ(ReadFileBytes(package), ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
    EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), 1);
}

TEST_F(DownloadHandOff, APackageTheShellCannotOpenFailsWithoutClosingTheReaderAndTheNextClickStartsAgain)
{
    auto reader = road.StartReader();
    // Nothing that the shell can start.
    road.publisher().SetContent(kSetupPackagePathA, "not a program");
    Click(*updater, kIdDownload);
    AnswerMessageBox(WaitForReadyBox(*updater));
    const MessageBoxInfo box = WaitForFailureBox(*updater);
    EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x800700C1\n\n")) << Narrow(box.text);
    EXPECT_TRUE(road.RunFolders().empty()) << "the package that could not be opened was left";
    AnswerMessageBox(box);
    EXPECT_EQ(WindowText(updater->item(kIdDownload)), L"Download && Install");
    EXPECT_EQ(road.Record(L"reader.txt").find("WM_CLOSE"), std::string::npos) << "the reader was asked to close";

    road.publisher().SetContent(kSetupPackagePathA, ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
    Click(*updater, kIdDownload);
    AnswerReadyBox(*updater, WaitForReadyBox(*updater));
    EXPECT_TRUE(road.WaitForRecord(L"reader.txt", "WM_CLOSE"));
    EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), 2);
}

TEST_F(DownloadStop, StopDuringATransferShowsTheAbortedCodeAndANewStartDownloadsAgain)
{
    // An installer with a long tail, so that the second start can hand it off.
    road.publisher().SetContent(kSetupPackagePathA, ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe") +
                                                        std::string(2 * 1024 * 1024, 's'));
    road.publisher().SetRate(kSetupPackagePathA, 64 * 1024);
    Click(*updater, kIdDownload);
    ASSERT_TRUE(WaitForText(updater->item(kIdDownload), L"Stop Download"));
    // The bar and the status line come into view with the start.
    EXPECT_TRUE(::IsWindowVisible(updater->item(kIdProgress)));
    EXPECT_TRUE(::IsWindowVisible(updater->item(kIdStatusText)));
    ASSERT_TRUE(WaitForProgressLine(*updater));
    Click(*updater, kIdDownload);
    EXPECT_TRUE(WaitForText(updater->item(kIdDownload), L"Download && Install"));
    const MessageBoxInfo box = WaitForFailureBox(*updater);
    EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x80004004\n\n")) << Narrow(box.text);
    AnswerMessageBox(box);
    EXPECT_EQ(WindowText(updater->item(kIdDownload)), L"Download && Install");

    road.publisher().ResetBehaviour(kSetupPackagePathA);
    Click(*updater, kIdDownload);
    const MessageBoxInfo ready = WaitForReadyBox(*updater);
    EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), 2);
    AnswerReadyBox(*updater, ready);
}

TEST_F(DownloadHandOff, ZippedPackageOpensThroughItsAssociation)
{
    RegisterZipRecorder();
    Click(*updater, kIdZipped);
    ASSERT_TRUE(
        WaitUntil([&] { return ::SendMessageW(updater->item(kIdZipped), BM_GETCHECK, 0, 0) == BST_CHECKED; }));
    Click(*updater, kIdDownload);
    AnswerReadyBox(*updater, WaitForReadyBox(*updater));
    EXPECT_TRUE(road.WaitForRecord(L"zip.txt", "opened ")) << "the zipped package was not opened";
    const std::string record = road.Record(L"zip.txt");
    EXPECT_NE(Lower(std::wstring(record.begin(), record.end())).find(Lower(road.Package(kZipPackageName))),
              std::wstring::npos)
        << record;
    EXPECT_EQ(road.publisher().RequestCount(kZipPackagePathA), 1);
    EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), 0);
}

TEST_F(DownloadHandOff, NoRadioButtonCheckedMeansTheZippedPackage)
{
    RegisterZipRecorder();
    ::SendMessageW(updater->item(kIdInstaller), BM_SETCHECK, BST_UNCHECKED, 0);
    ::SendMessageW(updater->item(kIdZipped), BM_SETCHECK, BST_UNCHECKED, 0);
    Click(*updater, kIdDownload);
    AnswerReadyBox(*updater, WaitForReadyBox(*updater));
    EXPECT_TRUE(road.WaitForRecord(L"zip.txt", kZipPackageNameA));
    EXPECT_EQ(road.publisher().RequestCount(kZipPackagePathA), 1);
}

TEST_F(DownloadHandOff, NoReaderRunningStillOpensThePackageAndEndsWithOne)
{
    Click(*updater, kIdDownload);
    AnswerReadyBox(*updater, WaitForReadyBox(*updater));
    EXPECT_TRUE(road.WaitForRecord(L"installer.txt", kSetupPackageNameA));
    EXPECT_EQ(road.Record(L"reader.txt"), "");
}

TEST(DownloadAnswers, UnknownOrEncodedLengthOrARedirectStillHandsOffTheWholePackage)
{
    // Without Content-Length the line shows the size received; sent
    // gzip-encoded, Content-Length counts the encoded bytes while the file
    // holds the decoded ones, so the two cannot be compared. A redirect from
    // an http:// address is followed wherever it goes.
    struct Case
    {
        const char* what;
        bool bOmitLength;
        bool bGzip;
        bool bRedirect;
    };
    for (const Case& c : {Case{"without Content-Length", true, false, false},
                          Case{"gzip-encoded", false, true, false}, Case{"redirected", false, false, true}})
    {
        SCOPED_TRACE(c.what);
        DownloadRoad road;
        road.publisher().SetOmitContentLength(kSetupPackagePathA, c.bOmitLength);
        road.publisher().SetGzip(kSetupPackagePathA, c.bGzip);
        if (c.bRedirect)
        {
            road.publisher().SetContent("/moved/setup.exe", ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
            road.publisher().SetRedirect(kSetupPackagePathA, Narrow(road.publisher().Url("/moved/setup.exe")));
        }
        auto updater = road.StartUpdater();
        ASSERT_NE(updater->dialog(), nullptr);

        Click(*updater, kIdDownload);
        const MessageBoxInfo box = WaitForReadyBox(*updater);
        const std::wstring status = WindowText(updater->item(kIdStatusText));
        EXPECT_TRUE(StartsWith(status, L"Downloaded ")) << Narrow(status);
        if (c.bOmitLength)
        {
            EXPECT_NE(status.find(L"(total size unknown)"), std::wstring::npos) << Narrow(status);
        }
        AnswerReadyBox(*updater, box);
        EXPECT_EQ(ReadFileBytes(road.Package()), ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
    }
}

TEST(DownloadAnswers, ErrorPagesAndCutBodiesFailAndACutBodyResumesWhereTheServerCan)
{
    const std::string installer = ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe");
    // Two versions of the package, both of which run, that differ after the
    // point where the connection drops.
    const std::string first = installer + std::string(64 * 1024, 'a');
    const std::string second = installer + std::string(64 * 1024, 'b');
    const size_t nHalf = first.size() / 2;
    const auto behaviour = [&](int nStatus, int nDrops, bool bRanges = true, Validator validator = Validator::ETag,
                               bool bNewVersion = false, bool bIgnoreIfRange = false) {
        PathBehaviour b;
        b.nStatus = nStatus;
        // Every answer dropped: each after an eighth, so that no four make the whole.
        b.nDropAfter = nDrops == 0 ? SIZE_MAX : nDrops < 0 ? first.size() / 8 : nHalf;
        b.nDrops = nDrops;
        b.bRanges = bRanges;
        b.validator = validator;
        b.changeTo = bNewVersion ? second : std::string();
        b.bIgnoreIfRange = bIgnoreIfRange;
        return b;
    };
    struct Case
    {
        const char* what;
        PathBehaviour behaviour;
        const wchar_t* code; // of the failure box; nullptr: handed off
        const std::string* package;
        int nRequests;
        int nRanges; // requests that asked for the rest
    };
    const Case cases[] = {
        {"not found", behaviour(404, 0), L"80190194", nullptr, 1, 0},
        {"a server error", behaviour(500, 0), L"801901F4", nullptr, 1, 0},
        {"cut short by a server without ranges", behaviour(200, 1, false), L"800C0008", nullptr, 1, 0},
        {"cut short by a server that names no version", behaviour(200, 1, true, Validator::None), L"800C0008",
         nullptr, 1, 0},
        {"cut short, then the rest", behaviour(200, 1), nullptr, &first, 2, 1},
        {"cut short, then the rest of the version named by its date",
         behaviour(200, 1, true, Validator::LastModified), nullptr, &first, 2, 1},
        // The server sends the whole new version to the request for the rest.
        {"cut short, then a new version", behaviour(200, 1, true, Validator::ETag, true), nullptr, &second, 2, 1},
        // The server sends the new version's rest: its validator gives it away.
        {"cut short, then a new version's rest", behaviour(200, 1, true, Validator::ETag, true, true), nullptr,
         &second, 3, 1},
        {"cut short four times", behaviour(200, -1), L"800C0008", nullptr, 4, 3},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        DownloadRoad road;
        road.publisher().SetContent(kSetupPackagePathA, first);
        road.publisher().SetBehaviour(kSetupPackagePathA, c.behaviour);
        auto updater = road.StartUpdater();
        ASSERT_NE(updater->dialog(), nullptr);
        Click(*updater, kIdDownload);
        if (c.code)
        {
            const MessageBoxInfo box = WaitForFailureBox(*updater);
            EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x" + std::wstring(c.code) + L"\n\n"))
                << Narrow(box.text);
            EXPECT_TRUE(road.RunFolders().empty()) << "a failed run left its package";
            AnswerMessageBox(box);
            EXPECT_EQ(WindowText(updater->item(kIdDownload)), L"Stop Download");
            EXPECT_EQ(road.Record(L"installer.txt"), "");
            EXPECT_EQ(CloseUpdater(*updater), static_cast<DWORD>(kExitClosed));
        }
        else
        {
            const MessageBoxInfo box = WaitForReadyBox(*updater);
            if (c.nRanges)
            {
                EXPECT_NE(WindowText(updater->item(kIdStatusText)).find(L"(resumed)"), std::wstring::npos)
                    << Narrow(WindowText(updater->item(kIdStatusText)));
            }
            AnswerReadyBox(*updater, box);
            EXPECT_TRUE(ReadFileBytes(road.Package()) == *c.package) << "not the package served whole";
        }
        EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), c.nRequests);
        const std::vector<std::string> ranges = road.publisher().RangesAsked(kSetupPackagePathA);
        EXPECT_EQ(static_cast<int>(ranges.size()), c.nRanges);
        if (!ranges.empty())
        {
            EXPECT_EQ(ranges.front(), "bytes=" + std::to_string(c.behaviour.nDropAfter) + "-");
        }
    }
}

TEST(DownloadServerDown, TheFailureTextCarriesACodeAndWhatTheSystemSaysOfIt)
{
    // No publisher here: nothing listens on the publisher's port.
    ScratchDir temp;
    LaunchOptions options;
    options.environment = {L"TMP=" + temp.path(), L"TEMP=" + temp.path()};
    UpdaterSession updater(options);
    ASSERT_NE(updater.dialog(), nullptr);

    Click(updater, kIdDownload);
    const MessageBoxInfo box = WaitForFailureBox(updater);
    // "Download failed.  Error = 0x%08lX\n\n" and then the system's text or
    // "No message available.", whichever the system has for the code.
    ASSERT_GT(box.text.size(), 37u) << Narrow(box.text);
    EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x")) << Narrow(box.text);
    const std::wstring code = box.text.substr(28, 8);
    EXPECT_EQ(code.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos) << Narrow(box.text);
    EXPECT_NE(code, L"00000000");
    EXPECT_EQ(box.text.substr(36, 2), L"\n\n");
    AnswerMessageBox(box);
    EXPECT_EQ(CloseUpdater(updater), static_cast<DWORD>(kExitClosed));
}

TEST_F(DownloadFailure, AfterAFailureTheFirstClickResetsAndTheSecondStarts)
{
    road.publisher().SetStatus(kSetupPackagePathA, 404);
    Click(*updater, kIdDownload);
    AnswerMessageBox(WaitForFailureBox(*updater));
    EXPECT_EQ(WindowText(updater->item(kIdDownload)), L"Stop Download");

    road.publisher().ResetBehaviour(kSetupPackagePathA);
    Click(*updater, kIdDownload);
    EXPECT_TRUE(WaitForText(updater->item(kIdDownload), L"Download && Install"));
    EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), 1);

    Click(*updater, kIdDownload);
    const MessageBoxInfo ready = WaitForReadyBox(*updater);
    EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), 2);
    AnswerReadyBox(*updater, ready);
}

TEST(DownloadTemporaryFolder, AMissingOrTooLongFolderFailsWithItsTextBeforeAnyTransfer)
{
    DownloadRoad road;
    // A folder that does not exist: the path is found missing before any transfer.
    auto updater = road.StartUpdater(road.temp().file(L"missing"));
    ASSERT_NE(updater->dialog(), nullptr);
    Click(*updater, kIdDownload);
    MessageBoxInfo box = WaitForFailureBox(*updater);
    EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x80070003\n\n")) << Narrow(box.text);
    AnswerMessageBox(box);
    EXPECT_EQ(CloseUpdater(*updater), static_cast<DWORD>(kExitClosed));
    EXPECT_EQ(road.Record(L"installer.txt"), "");

    // A path longer than the 239 characters the program takes.
    const std::wstring longTemp = road.temp().path() + L"\\" + std::wstring(240, L'd');
    updater = road.StartUpdater(longTemp);
    ASSERT_NE(updater->dialog(), nullptr);
    Click(*updater, kIdDownload);
    box = WaitForFailureBox(*updater);
    EXPECT_EQ(box.text, L"Cannot find temp directory");
    AnswerMessageBox(box);
    EXPECT_EQ(road.publisher().RequestCount(kSetupPackagePathA), 0) << "a transfer without a temporary folder";
    EXPECT_EQ(CloseUpdater(*updater), static_cast<DWORD>(kExitClosed));
}

TEST_F(DownloadClose, CloseDuringATransferEndsWithTwoAndNoFailureBox)
{
    road.publisher().SetContent(kSetupPackagePathA, std::string(2 * 1024 * 1024, 's'));
    road.publisher().SetRate(kSetupPackagePathA, 64 * 1024);
    Click(*updater, kIdDownload);
    ASSERT_TRUE(WaitForProgressLine(*updater));
    const DWORD start = ::GetTickCount();
    Click(*updater, IDCANCEL);
    bool sawBox = false;
    WaitUntil([&] {
        for (HWND hWnd : TopLevelWindowsOf(updater->process().id()))
            if (::GetDlgItem(hWnd, 0xFFFF) && ::IsWindowVisible(hWnd))
                sawBox = true;
        return !updater->process().running();
    });
    EXPECT_EQ(updater->WaitForExit(), static_cast<DWORD>(kExitClosed));
    EXPECT_FALSE(sawBox) << "a failure box showed after Close";
    std::printf("Close during a transfer: exit after %lu ms\n", ::GetTickCount() - start);
}

TEST_F(DownloadClose, CloseDuringAStalledTransferStoresTheChoiceAndEndsWithTwo)
{
    road.publisher().SetContent(kSetupPackagePathA, std::string(1024 * 1024, 's'));
    // Nothing more arrives after the first 64 KB: no progress callback will
    // come to refuse; the stop reaches the binding itself.
    road.publisher().SetStall(kSetupPackagePathA, 64 * 1024, INFINITE);
    Click(*updater, kIdDownload);
    ASSERT_TRUE(WaitForProgressLine(*updater));
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(CloseUpdater(*updater), static_cast<DWORD>(kExitClosed));
    std::printf("Close during a stalled transfer: exit after %lu ms\n", ::GetTickCount() - start);
    // It ends with the choice stored and nothing left in the temporary folder.
    EXPECT_NE(ReadFileBytes(updater->dir().file(kSettingsFileName)).find(std::string(kPackagingKeyA) + "=0"),
              std::string::npos);
    EXPECT_TRUE(road.RunFolders().empty());
}

TEST_F(DownloadCommand, TheButtonCommandWithANotificationCodeStoresTheChoiceAndStarts)
{
    road.publisher().SetContent(kSetupPackagePathA, std::string(2 * 1024 * 1024, 's'));
    road.publisher().SetRate(kSetupPackagePathA, 64 * 1024);
    ASSERT_FALSE(FileExists(updater->dir().file(kSettingsFileName)));

    // A button with BS_NOTIFY, or a keyboard accelerator, sends the command
    // with a code of its own; it is the same request as a plain click.
    const HWND hButton = updater->item(kIdDownload);
    ::PostMessageW(updater->dialog(), WM_COMMAND, MAKEWPARAM(kIdDownload, BN_DOUBLECLICKED),
                   reinterpret_cast<LPARAM>(hButton));
    EXPECT_TRUE(WaitForText(hButton, L"Stop Download"));
    EXPECT_TRUE(WaitUntil([&] {
        return FileExists(updater->dir().file(kSettingsFileName)) &&
               ReadFileBytes(updater->dir().file(kSettingsFileName)).find(std::string(kPackagingKeyA) + "=0\r\n") !=
                   std::string::npos;
    }));
    EXPECT_TRUE(WaitUntil([&] { return road.publisher().RequestCount(kSetupPackagePathA) == 1; }));

    EXPECT_EQ(CloseUpdater(*updater), static_cast<DWORD>(kExitClosed));
}

TEST(DownloadStall, StopCutsAStalledTransferShortAndIsFinalForItsRun)
{
    for (const bool bResumes : {false, true})
    {
        SCOPED_TRACE(bResumes ? "the server sends again later" : "the server never sends again");
        DownloadRoad road;
        road.publisher().SetContent(kSetupPackagePathA, std::string(1024 * 1024, 's'));
        road.publisher().SetStall(kSetupPackagePathA, 64 * 1024, INFINITE);
        auto updater = road.StartUpdater();
        ASSERT_NE(updater->dialog(), nullptr);

        Click(*updater, kIdDownload);
        StopDuringTheStall(*updater, road, kSetupPackagePathA);
        if (bResumes)
        {
            // Whatever arrives now, the stopped run hands nothing off.
            road.publisher().EndStalls();
            EXPECT_TRUE(WaitUntil([&] { return road.publisher().Answered(kSetupPackagePathA) == 1; }));
        }
        else
        {
            // No worker is left holding the job: the next click starts at once.
            Click(*updater, kIdDownload);
            EXPECT_TRUE(WaitForText(updater->item(kIdDownload), L"Stop Download"));
            EXPECT_TRUE(WaitUntil([&] { return road.publisher().RequestCount(kSetupPackagePathA) == 2; }));
        }
        EXPECT_EQ(CloseUpdater(*updater), static_cast<DWORD>(kExitClosed));
        EXPECT_TRUE(road.RunFolders().empty());
        EXPECT_EQ(road.Record(L"installer.txt"), "");
    }
}

TEST_F(DownloadHandOff, HugeFastDownloadEndsInTheHandOffWithTheDialogAnswering)
{
    constexpr size_t kSize = 300u * 1024 * 1024;
    std::string package = ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe");
    package.resize(kSize, '\0'); // an executable with a long tail still runs
    road.publisher().SetContent(kSetupPackagePathA, std::move(package));

    Click(*updater, kIdDownload);
    // Through the whole transfer the dialog answers; none of its answers may
    // be lost behind a flood of queued progress commands.
    int answered = 0;
    MessageBoxInfo box;
    ASSERT_TRUE(WaitUntil(
        [&] {
            DWORD_PTR result = 0;
            if (::SendMessageTimeoutW(updater->dialog(), WM_NULL, 0, 0, SMTO_NORMAL,
                                      static_cast<UINT>(kEventTimeout.count()), &result))
                ++answered;
            box = WaitForMessageBox(updater->process().id(), std::chrono::milliseconds(0));
            return box.hWnd != nullptr;
        },
        3 * kEventTimeout)) // 300 MB: on a loaded machine, minutes
        << "the ready box never came";
    EXPECT_EQ(box.text, kReadyText);
    EXPECT_GT(answered, 0);
    EXPECT_EQ(ProgressPosition(*updater), 100);
    AnswerReadyBox(*updater, box);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(::GetFileAttributesExW(road.Package().c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow, kSize);
    EXPECT_TRUE(road.WaitForRecord(L"installer.txt", "ran "));
}

TEST(DownloadMinimised, AMinimisedDialogIsRestoredBeforeTheReadyBox)
{
    DownloadRoad road;
    LaunchOptions options = road.Options();
    options.showCommand = SW_SHOWMINNOACTIVE;
    UpdaterSession updater(options);
    ASSERT_NE(updater.dialog(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return ::IsIconic(updater.dialog()) != FALSE; }));

    Click(updater, kIdDownload);
    const MessageBoxInfo box = WaitForReadyBox(updater);
    EXPECT_FALSE(::IsIconic(updater.dialog()));
    EXPECT_TRUE(::IsWindowVisible(updater.dialog()));
    AnswerReadyBox(updater, box);
}
