#include "DownloadRoad.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>

namespace qftest
{

DownloadRoad::DownloadRoad()
{
    m_publisher.SetContent(kWhatsNewTextPathA, "What's new: the download test.\n");
    m_publisher.SetContent(kSetupPackagePathA, ReadFileBytes(TestBinDir() + L"\\InstallerStandIn.exe"));
    m_publisher.SetContent(kZipPackagePathA, std::string("PK\x03\x04", 4) + std::string(200 * 1024, 'z'));
    ::CopyFileW((TestBinDir() + L"\\PlantedLibrary.dll").c_str(), m_temp.file(L"PlantedLibrary.dll").c_str(), TRUE);
}

LaunchOptions DownloadRoad::Options(const std::wstring& tempDir) const
{
    const std::wstring temp = tempDir.empty() ? m_temp.path() : tempDir;
    LaunchOptions options;
    options.environment = {L"QF_STANDIN_RECORD=" + m_records.path(), L"TMP=" + temp, L"TEMP=" + temp};
    return options;
}

std::unique_ptr<UpdaterSession> DownloadRoad::StartUpdater(const std::wstring& tempDir)
{
    return std::make_unique<UpdaterSession>(Options(tempDir));
}

std::unique_ptr<Process> DownloadRoad::StartReader()
{
    auto reader = std::make_unique<Process>(TestBinDir() + L"\\ReaderStandIn.exe", Options());
    EXPECT_NE(WaitForTopLevelWindow(reader->id(), kReaderWindowClass), nullptr)
        << "the reader stand-in shows no frame window";
    return reader;
}

std::vector<std::wstring> DownloadRoad::RunFolders() const
{
    std::vector<std::wstring> folders;
    WIN32_FIND_DATAW found{};
    const HANDLE hFind = ::FindFirstFileW(m_temp.file(L"QuillfeedUpdate-*").c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return folders;
    do
        folders.push_back(m_temp.file(found.cFileName));
    while (::FindNextFileW(hFind, &found));
    ::FindClose(hFind);
    return folders;
}

std::wstring DownloadRoad::Package(const wchar_t* name) const
{
    const std::vector<std::wstring> folders = RunFolders();
    return folders.empty() ? std::wstring() : folders.front() + L"\\" + name;
}

std::string DownloadRoad::Record(const wchar_t* name) const
{
    return ReadFileBytes(m_records.file(name));
}

bool DownloadRoad::WaitForRecord(const wchar_t* name, const std::string& fragment) const
{
    return WaitUntil([&] { return Record(name).find(fragment) != std::string::npos; });
}

MessageBoxInfo WaitForReadyBox(UpdaterSession& updater)
{
    MessageBoxInfo box = WaitForMessageBox(updater.process().id());
    EXPECT_EQ(box.caption, kDialogCaption);
    EXPECT_EQ(box.text, kReadyText);
    return box;
}

void AnswerReadyBox(UpdaterSession& updater, const MessageBoxInfo& box)
{
    AnswerMessageBox(box);
    EXPECT_EQ(updater.WaitForExit(), static_cast<DWORD>(kExitHandedOff));
}

MessageBoxInfo WaitForFailureBox(UpdaterSession& updater, std::chrono::milliseconds timeout)
{
    MessageBoxInfo box = WaitForMessageBox(updater.process().id(), timeout);
    EXPECT_NE(box.hWnd, nullptr) << "no failure box";
    EXPECT_EQ(box.caption, L"");
    EXPECT_FALSE(box.icon);
    EXPECT_TRUE(box.OkOnly());
    return box;
}

void StopDuringTheStall(UpdaterSession& updater, const DownloadRoad& road, const std::string& path)
{
    ASSERT_TRUE(WaitUntil([&] { return road.publisher().StallsReached(path) == 1; })) << "no stall of " << path;
    const DWORD start = ::GetTickCount();
    Click(updater, kIdDownload);
    // The stall never ends by itself: the box comes from the stop alone. How
    // soon, against the 5-second stop wait, is printed and fails nothing: a
    // loaded machine can take longer than the wait just to show the box.
    const MessageBoxInfo box = WaitForFailureBox(updater);
    ASSERT_NE(box.hWnd, nullptr) << "the stop did not end the stalled transfer";
    std::printf("Stop during the stall of %s: the failure box after %lu ms\n", path.c_str(),
                ::GetTickCount() - start);
    EXPECT_TRUE(StartsWith(box.text, L"Download failed.  Error = 0x80004004\n\n")) << Narrow(box.text);
    EXPECT_TRUE(road.RunFolders().empty()) << "a stopped run left its package";
    AnswerMessageBox(box);
    EXPECT_EQ(WindowText(updater.item(kIdDownload)), L"Download && Install");
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

void Click(const UpdaterSession& updater, int id)
{
    ::PostMessageW(updater.item(id), BM_CLICK, 0, 0);
}

DWORD CloseUpdater(UpdaterSession& updater)
{
    Click(updater, IDCANCEL);
    return updater.WaitForExit();
}

bool WaitForText(HWND hWnd, const std::wstring& text)
{
    return WaitUntil([&] { return WindowText(hWnd) == text; });
}

bool WaitForProgressLine(const UpdaterSession& updater)
{
    return WaitUntil([&] { return WindowText(updater.item(kIdStatusText)).rfind(L"Downloaded ", 0) == 0; });
}

int ProgressPosition(const UpdaterSession& updater)
{
    return static_cast<int>(::SendMessageW(updater.item(kIdProgress), PBM_GETPOS, 0, 0));
}

std::string Narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return result;
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

void RegisterZipRecorder()
{
    Process registrar(TestBinDir() + L"\\ZipRecorder.exe", [] {
        LaunchOptions o;
        o.arguments = L"/register";
        return o;
    }());
    ASSERT_EQ(registrar.Wait(), 0u) << "the .zip association could not be registered";
}

} // namespace qftest
