// What an end-to-end test of the download needs around the update program:
// the loopback publisher with the packages, the feed reader stand-in, and a
// temporary folder and record folder of the test's own, handed to the
// updater (and through it to the package it opens) by environment. The
// temporary folder has a library planted in it that the installer stand-in
// asks for by name (PlantedLibrary.dll): it must never find it there.
#pragma once

#include "Publisher.h"

#include "UpdaterSession.h"

#include <memory>
#include <string>
#include <vector>

namespace qftest
{

constexpr int kIdDownload = 1005;
constexpr int kIdInstaller = 1007;
constexpr int kIdZipped = 1008;
constexpr int kIdStatusText = 1006;
constexpr int kIdProgress = 1002;

class DownloadRoad
{
public:
    DownloadRoad();

    Publisher& publisher() { return m_publisher; }
    const Publisher& publisher() const { return m_publisher; }
    const ScratchDir& temp() const { return m_temp; }
    const ScratchDir& records() const { return m_records; }

    // Environment for the updater: the record folder and, unless the test
    // names its own, the temporary folder.
    LaunchOptions Options(const std::wstring& tempDir = L"") const;
    std::unique_ptr<UpdaterSession> StartUpdater(const std::wstring& tempDir = L"");
    // The feed reader stand-in, with its frame window up.
    std::unique_ptr<Process> StartReader();

    // The folders that runs of the update program made in the temporary
    // folder, and the package in the first of them ("" when there is none).
    std::vector<std::wstring> RunFolders() const;
    std::wstring Package(const wchar_t* name = kSetupPackageName) const;

    // What a stand-in wrote down ("" when it wrote nothing).
    std::string Record(const wchar_t* name) const;
    bool WaitForRecord(const wchar_t* name, const std::string& fragment) const;

private:
    ScratchDir m_temp;
    ScratchDir m_records;
    Publisher m_publisher;
};

// The ready box: the program's caption and its text.
MessageBoxInfo WaitForReadyBox(UpdaterSession& updater);
// Presses its OK, and the program hands off and ends with 1.
void AnswerReadyBox(UpdaterSession& updater, const MessageBoxInfo& box);
// The failure box: empty caption, the failure text with its code.
MessageBoxInfo WaitForFailureBox(UpdaterSession& updater, std::chrono::milliseconds timeout = kEventTimeout);
// Clicks Stop once the answer to path (the package or its signature) has
// reached its stall, and sees what the user must: the failure box with the
// stop's code within the stop wait, no package, the button ready to start.
void StopDuringTheStall(UpdaterSession& updater, const DownloadRoad& road, const std::string& path);
bool StartsWith(const std::wstring& text, const std::wstring& prefix);
// Clicks a button of the dialog the way the mouse does.
void Click(const UpdaterSession& updater, int id);
// Presses Close and waits for the end; the exit code, or STILL_ACTIVE.
DWORD CloseUpdater(UpdaterSession& updater);
bool WaitForText(HWND hWnd, const std::wstring& text);
// Waits until the status line shows a progress report.
bool WaitForProgressLine(const UpdaterSession& updater);
int ProgressPosition(const UpdaterSession& updater);
std::string Narrow(const std::wstring& text);
std::wstring Lower(std::wstring text);
// Makes ".zip" open with the recorder stand-in, in this test prefix.
void RegisterZipRecorder();

} // namespace qftest
