// One BlogThis call as the feed reader makes it: the plugin host loads a
// plugin and blogs one item, in a scratch folder of its own that also holds
// its temporary folder and the editor stand-ins' records.
#pragma once

#include "TestSupport.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qftest
{

std::wstring LanternPath();
std::wstring KestrelPath();
std::wstring PluginHostPath();
std::wstring WbloggarStandInPath();

// An RSS document with one item in one channel; a field without a value is
// left out. The texts are escaped as XML character data.
std::string RssItem(const std::optional<std::wstring>& title, const std::optional<std::wstring>& description,
                    const std::optional<std::wstring>& link);

class BridgeSession
{
public:
    BridgeSession();

    // The folder the host takes as its temporary folder (TMP and TEMP).
    std::wstring tempDir() const { return m_dir.file(L"temp"); }
    // Where the w.bloggar stand-in writes its records.
    std::wstring recordsDir() const { return m_dir.file(L"records"); }
    std::wstring liveWriterLog() const { return m_dir.file(L"livewriter.log"); }
    const ScratchDir& dir() const { return m_dir; }
    // What the host printed in its last run.
    std::string HostOutput() const { return ReadFileBytes(m_dir.file(L"host-output.txt")); }

    // Starts the host on the plugin with the item; more environment entries
    // ("NAME=value") and host arguments may be given.
    Process& Start(const std::wstring& plugin, const std::string& itemXml, std::vector<std::wstring> environment = {},
                   const std::wstring& extraArguments = L"", const std::wstring& currentDirectory = L"");
    Process& process() { return *m_process; }

    // The Live Writer stand-in's record, one event a line, unescaped.
    std::vector<std::wstring> LiveWriterEvents() const;

    // The names (not paths) of the w*.tmp files in the temporary folder.
    std::vector<std::wstring> TemporaryFiles() const;

    struct EditorRecord
    {
        std::wstring commandLine;
        std::wstring file;
        bool filePresent = false;
        std::string bytes;
    };
    // Every record the w.bloggar stand-in left, in no particular order.
    std::vector<EditorRecord> EditorRecords() const;

private:
    ScratchDir m_dir;
    std::unique_ptr<Process> m_process;
    int m_nItems = 0;
};

// The current user's w.bloggar settings key, empty at the start and removed
// at the end of a test.
class BloggarSettings
{
public:
    BloggarSettings();
    ~BloggarSettings();
    BloggarSettings(const BloggarSettings&) = delete;
    BloggarSettings& operator=(const BloggarSettings&) = delete;

    void CreateKey();
    void SetInstallPath(const std::wstring& folder);
    // Stored exactly as given: type and bytes.
    void SetRawInstallPath(DWORD type, const void* data, DWORD size);
    // Everyone may read the key, nobody may change it; write access is given
    // back before the key is removed.
    void DenyWriting();
};

// A w.bloggar stand-in installed in a folder of its own.
std::wstring InstallEditor(const std::wstring& folder);

// Live Writer as if it were not installed: its class is unregistered for the
// test and registered again afterwards.
class EditorClassUnregistered
{
public:
    EditorClassUnregistered();
    ~EditorClassUnregistered();
    EditorClassUnregistered(const EditorClassUnregistered&) = delete;
    EditorClassUnregistered& operator=(const EditorClassUnregistered&) = delete;
};

} // namespace qftest
