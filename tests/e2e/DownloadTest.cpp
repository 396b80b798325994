// The download and the hand-off as a user meets them: the real update program
// against the loopback publisher, the real message boxes read and answered,
// the reader, installer and .zip stand-ins writing down what reached them.
#include "DownloadRoad.h"

#include <gtest/gtest.h>

using namespace qftest;

namespace
{
const wchar_t kReadyText[] =
    L"Download is ready. Automatic Update is going to close Quillfeed and upgrade to the latest version.";
const wchar_t kDialogCaption[] = L"Quillfeed Automatic Update";

// The failure box: empty caption, the failure text with its code.
MessageBoxInfo WaitForFailureBox(UpdaterSession& updater)
{
    MessageBoxInfo box = WaitForMessageBox(updater.process().id());
    EXPECT_NE(box.hWnd, nullptr) << "no failure box";
    EXPECT_EQ(box.caption, L"");
    return box;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}
} // namespace

TEST(DownloadRoad, InstallerDownloadedThenReaderClosedAndInstallerRunWithExitCodeOne)
{
    DownloadRoad road;
    auto reader = road.StartReader();
    auto updater = road.StartUpdater();
    ASSERT_NE(updater->dialog(), nullptr);

    Click(*updater, kIdDownload);
    const MessageBoxInfo box = WaitForMessageBox(updater->process().id());
    ASSERT_NE(box.hWnd, nullptr) << "no ready box";
    EXPECT_EQ(box.caption, kDialogCaption);
    EXPECT_EQ(box.text, kReadyText);
    // While the box is up: the bar already stands at 100, the progress line
    // shows the whole size, and the reader has not been asked yet.
    EXPECT_EQ(ProgressPosition(*updater), 100);
    EXPECT_TRUE(StartsWith(WindowText(updater->item(kIdStatusText)), L"Downloaded "))
        << Narrow(WindowText(updater->item(kIdStatusText)));
    EXPECT_TRUE(::IsWindowVisible(updater->item(kIdProgress)));
    EXPECT_EQ(road.Record(L"reader.txt").find("WM_CLOSE"), std::string::npos);

    AnswerMessageBox(box);
    EXPECT_EQ(updater->WaitForExit(), static_cast<DWORD>(kExitHandedOff));
    EXPECT_TRUE(road.WaitForRecord(L"reader.txt", "WM_CLOSE")) << "the reader got no WM_CLOSE";
    EXPECT_EQ(reader->Wait(), 0u);

    ASSERT_TRUE(road.WaitForRecord(L"installer.txt", "ran ")) << "the installer did not run";
    const std::string expected = "ran " + Narrow(Lower(road.temp().file(L"QuillfeedSetup.exe")));
    const std::string record = road.Record(L"installer.txt");
    std::string recordLower = record;
    for (auto& c : recordLower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(recordLower.find(expected), std::string::npos) << record;
    EXPECT_EQ(ReadFileBytes(road.temp().file(L"QuillfeedSetup.exe")),
              ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
    EXPECT_EQ(road.publisher().RequestCount(kSetupPath), 1);
}

TEST(DownloadFailure, NotFoundShowsTheFailureBoxAndLeavesNoPackage)
{
    DownloadRoad road;
    road.publisher().SetStatus(kSetupPath, 404);
    auto updater = road.StartUpdater();
    ASSERT_NE(updater->dialog(), nullptr);

    Click(*updater, kIdDownload);
    const MessageBoxInfo box = WaitForFailureBox(*updater);
    EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x80190194\n\n")) << Narrow(box.text);
    EXPECT_FALSE(FileExists(road.temp().file(L"QuillfeedSetup.exe")));
    AnswerMessageBox(box);
    EXPECT_EQ(WindowText(updater->item(kIdDownload)), L"Stop Download");
    Click(*updater, IDCANCEL);
    EXPECT_EQ(updater->WaitForExit(), static_cast<DWORD>(kExitClosed));
}

TEST(DownloadStop, StopDuringATransferShowsTheAbortedCodeAndANewStartDownloadsAgain)
{
    DownloadRoad road;
    road.publisher().SetContent(kSetupPath, std::string(2 * 1024 * 1024, 's'));
    road.publisher().SetRate(kSetupPath, 64 * 1024);
    auto updater = road.StartUpdater();
    ASSERT_NE(updater->dialog(), nullptr);

    Click(*updater, kIdDownload);
    ASSERT_TRUE(WaitForText(updater->item(kIdDownload), L"Stop Download"));
    ASSERT_TRUE(WaitUntil([&] { return StartsWith(WindowText(updater->item(kIdStatusText)), L"Downloaded "); }));
    Click(*updater, kIdDownload);
    EXPECT_TRUE(WaitForText(updater->item(kIdDownload), L"Download && Install"));
    const MessageBoxInfo box = WaitForFailureBox(*updater);
    EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x80004004\n\n")) << Narrow(box.text);
    AnswerMessageBox(box);
    EXPECT_EQ(WindowText(updater->item(kIdDownload)), L"Download && Install");

    road.publisher().ResetBehaviour(kSetupPath);
    Click(*updater, kIdDownload);
    const MessageBoxInfo ready = WaitForMessageBox(updater->process().id());
    EXPECT_EQ(ready.text, kReadyText);
    EXPECT_EQ(road.publisher().RequestCount(kSetupPath), 2);
    AnswerMessageBox(ready);
    EXPECT_EQ(updater->WaitForExit(), static_cast<DWORD>(kExitHandedOff));
}
