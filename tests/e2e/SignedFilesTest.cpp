// The programs as a publisher ships them, signed with Authenticode: the
// fixture authenticode signs copies of this tree's programs into
// variants/authenticode with a throwaway certificate. The signature is an
// appendix to the file that Windows' loader skips; these tests see that the
// signed files still load and do their work, once each.
#include "DownloadRoad.h"

#include "BridgeSession.h"

#include <gtest/gtest.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>

using namespace qftest;

namespace
{
std::wstring SignedFile(const wchar_t* name)
{
    return TestBinDir() + L"\\..\\variants\\authenticode\\" + name;
}

// What WinVerifyTrust says of the file's signature: 0 when it is there and
// matches the file, TRUST_E_NOSIGNATURE without one. Wine does not hold a
// SHA-256 signer's chain against its roots, so the test CA need not be trusted.
LONG SignatureStatus(const std::wstring& file)
{
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = file.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return status;
}

void ExpectSigned(const wchar_t* name)
{
    EXPECT_EQ(SignatureStatus(SignedFile(name)), 0) << Narrow(name) << " is not signed as it should be";
    // The unsigned build, for contrast: the check above can fail.
    EXPECT_EQ(SignatureStatus(DistDir() + L"\\" + name), TRUST_E_NOSIGNATURE) << Narrow(name);
}
} // namespace

TEST(SignedFiles, BothPluginsBlogThroughTheHost)
{
    ExpectSigned(L"Lantern.dll");
    ExpectSigned(L"Kestrel.dll");
    const std::string item = RssItem(L"Signed", L"d", L"x");

    BridgeSession lantern;
    ASSERT_EQ(lantern.Start(SignedFile(L"Lantern.dll"), item).Wait(), 0u) << lantern.HostOutput();
    const auto events = lantern.LiveWriterEvents();
    for (const wchar_t* event : {L"title: Signed", L"link: x", L"description: d", L"result 0x00000000"})
        EXPECT_NE(std::find(events.begin(), events.end(), event), events.end()) << Narrow(event);

    BloggarSettings settings;
    BridgeSession kestrel;
    const std::wstring editor = kestrel.dir().file(L"wbloggar");
    InstallEditor(editor);
    settings.SetInstallPath(editor);
    ASSERT_EQ(kestrel.Start(SignedFile(L"Kestrel.dll"), item).Wait(), 0u) << kestrel.HostOutput();
    ASSERT_TRUE(WaitUntil([&] { return kestrel.EditorRecords().size() == 1; })) << "w.bloggar did not start";
    EXPECT_EQ(kestrel.EditorRecords().front().bytes, "<blockquote><a href='x'>Signed</a><br>d</blockquote>");
}

TEST(SignedFiles, UpdaterDownloadsClosesTheReaderAndRunsTheInstaller)
{
    ExpectSigned(L"QuillfeedUpdater.exe");
    DownloadRoad road;
    auto reader = road.StartReader();
    UpdaterSession updater(road.Options(), SignedFile(L"QuillfeedUpdater.exe"));
    ASSERT_NE(updater.dialog(), nullptr);
    EXPECT_EQ(WindowText(updater.item(1000)), L"What's new: the download test.\r\n");

    Click(updater, kIdDownload);
    const MessageBoxInfo ready = WaitForMessageBox(updater.process().id());
    ASSERT_NE(ready.hWnd, nullptr) << "no ready box";
    EXPECT_EQ(ready.text, kReadyText);
    AnswerMessageBox(ready);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitHandedOff));
    EXPECT_TRUE(road.WaitForRecord(L"reader.txt", "WM_CLOSE")) << "the reader was not asked to close";
    EXPECT_TRUE(road.WaitForRecord(L"installer.txt", "ran ")) << "the installer did not run";
    EXPECT_EQ(ReadFileBytes(road.Package()), ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
}
