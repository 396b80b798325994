#include "BridgeSession.h"

#include "EditorApplication.h"
#include "Kestrel.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <winternl.h>

#include <cstdio>

namespace qftest
{

namespace
{
using qfplugin::kestrel::kSettingsKey;

// Replaces the key's access list with the one given in its text form.
LONG SetKeyAccess(HKEY key, const wchar_t* accessList)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(accessList, SDDL_REVISION_1, &descriptor, nullptr))
        return static_cast<LONG>(::GetLastError());
    const LONG status = ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    ::LocalFree(descriptor);
    return status;
}

// A key left read-only (by this test or an interrupted run) cannot be
// removed: its owner gives everyone full access again first.
void RemoveSettingsKey()
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, WRITE_DAC, &key) == ERROR_SUCCESS)
    {
        SetKeyAccess(key, L"D:(A;;KA;;;WD)");
        ::RegCloseKey(key);
    }
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
}

std::wstring Unescaped(const std::wstring& text)
{
    std::wstring plain;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != L'\\' || i + 1 == text.size())
        {
            plain += text[i];
            continue;
        }
        switch (text[++i])
        {
        case L'n': plain += L'\n'; break;
        case L'r': plain += L'\r'; break;
        case L'0': plain += L'\0'; break;
        default: plain += text[i];
        }
    }
    return plain;
}

std::vector<std::wstring> FilesMatching(const std::wstring& pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

// The next line of bytes from pos, without its line feed.
std::string TakeLine(const std::string& bytes, size_t& pos)
{
    const size_t end = bytes.find('\n', pos);
    const std::string line = bytes.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? bytes.size() : end + 1;
    return line;
}

std::wstring AfterPrefix(const std::string& line, const std::string& prefix)
{
    EXPECT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    return Unescaped(FromUtf8(line.substr(std::min(prefix.size(), line.size()))));
}
} // namespace

std::wstring LanternPath()
{
    return DistDir() + L"\\Lantern.dll";
}

std::wstring KestrelPath()
{
    return DistDir() + L"\\Kestrel.dll";
}

std::wstring PluginHostPath()
{
    return TestBinDir() + L"\\PluginHost.exe";
}

std::wstring WbloggarStandInPath()
{
    return TestBinDir() + L"\\wbloggar.exe";
}

std::string RssItem(const std::optional<std::wstring>& title, const std::optional<std::wstring>& description,
                    const std::optional<std::wstring>& link)
{
    auto element = [](const char* name, const std::optional<std::wstring>& value) -> std::string {
        if (!value)
            return {};
        std::wstring escaped;
        for (wchar_t c : *value)
        {
            switch (c)
            {
            case L'<': escaped += L"&lt;"; break;
            case L'>': escaped += L"&gt;"; break;
            case L'&': escaped += L"&amp;"; break;
            default: escaped += c;
            }
        }
        return std::string("<") + name + ">" + Utf8(escaped) + "</" + name + ">";
    };
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<rss version=\"2.0\"><channel><title>Channel</title><link>http://channel.example/</link>"
           "<description>The channel</description><item>" +
           element("title", title) + element("description", description) + element("link", link) +
           "</item></channel></rss>";
}

BridgeSession::BridgeSession()
{
    ::CreateDirectoryW(tempDir().c_str(), nullptr);
    ::CreateDirectoryW(recordsDir().c_str(), nullptr);
}

Process& BridgeSession::Start(const std::wstring& plugin, const std::string& itemXml,
                              std::vector<std::wstring> environment, const std::wstring& extraArguments,
                              const std::wstring& currentDirectory)
{
    const std::wstring item = m_dir.file(L"item" + std::to_wstring(++m_nItems) + L".xml");
    WriteFileBytes(item, itemXml);
    environment.push_back(L"TMP=" + tempDir());
    environment.push_back(L"TEMP=" + tempDir());
    environment.push_back(L"QF_LIVEWRITER_LOG=" + liveWriterLog());
    environment.push_back(L"QF_WBLOGGAR_RECORDS=" + recordsDir());

    LaunchOptions options;
    options.arguments = L"\"" + plugin + L"\" --item \"" + item + L"\"";
    if (!extraArguments.empty())
        options.arguments += L" " + extraArguments;
    options.environment = std::move(environment);
    options.currentDirectory = currentDirectory;
    options.outputFile = m_dir.file(L"host-output.txt");
    m_process = std::make_unique<Process>(PluginHostPath(), options);
    return *m_process;
}

std::vector<std::wstring> BridgeSession::LiveWriterEvents() const
{
    const std::string bytes = ReadFileBytes(liveWriterLog());
    std::vector<std::wstring> events;
    for (size_t pos = 0; pos < bytes.size();)
        events.push_back(Unescaped(FromUtf8(TakeLine(bytes, pos))));
    return events;
}

std::vector<std::wstring> BridgeSession::TemporaryFiles() const
{
    return FilesMatching(tempDir() + L"\\w*.tmp");
}

std::vector<BridgeSession::EditorRecord> BridgeSession::EditorRecords() const
{
    std::vector<EditorRecord> records;
    for (const auto& name : FilesMatching(recordsDir() + L"\\wbloggar-*.rec"))
    {
        const std::string bytes = ReadFileBytes(recordsDir() + L"\\" + name);
        // A record is never empty once it can be read: this one cannot be yet.
        if (bytes.empty())
            continue;
        size_t pos = 0;
        EditorRecord record;
        record.commandLine = AfterPrefix(TakeLine(bytes, pos), "cmdline: ");
        record.file = AfterPrefix(TakeLine(bytes, pos), "file: ");
        const std::string count = TakeLine(bytes, pos);
        record.filePresent = count != "bytes: missing";
        if (record.filePresent)
        {
            const size_t size = std::stoul(count.substr(7));
            record.bytes = bytes.substr(pos, size);
            EXPECT_EQ(record.bytes.size(), size);
        }
        records.push_back(std::move(record));
    }
    return records;
}

BloggarSettings::BloggarSettings()
{
    RemoveSettingsKey();
}

BloggarSettings::~BloggarSettings()
{
    RemoveSettingsKey();
}

void BloggarSettings::CreateKey()
{
    HKEY key = nullptr;
    ASSERT_EQ(
        ::RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    ::RegCloseKey(key);
}

void BloggarSettings::SetInstallPath(const std::wstring& folder)
{
    SetRawInstallPath(REG_SZ, folder.c_str(), static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
}

void BloggarSettings::SetRawInstallPath(DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    ASSERT_EQ(
        ::RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    // RegSetValueExW under Wine adds a missing terminator to a string; the
    // native call stores the bytes as they are, as another program may have.
    using SetValueFn = LONG(NTAPI*)(HANDLE, UNICODE_STRING*, ULONG, ULONG, const void*, ULONG);
    const auto setValue = reinterpret_cast<SetValueFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    ASSERT_NE(setValue, nullptr);
    std::wstring name = qfplugin::kestrel::kInstallPathValue;
    const auto bytes = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    UNICODE_STRING valueName{bytes, static_cast<USHORT>(bytes + sizeof(wchar_t)), name.data()};
    EXPECT_EQ(setValue(key, &valueName, 0, type, data, size), 0);
    ::RegCloseKey(key);
}

void BloggarSettings::DenyWriting()
{
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, WRITE_DAC, &key), ERROR_SUCCESS);
    EXPECT_EQ(SetKeyAccess(key, L"D:P(A;;KR;;;WD)"), ERROR_SUCCESS);
    ::RegCloseKey(key);
}

std::wstring InstallEditor(const std::wstring& folder)
{
    // Nested folders, made one level at a time.
    for (size_t pos = folder.find(L'\\', 3); pos != std::wstring::npos; pos = folder.find(L'\\', pos + 1))
        ::CreateDirectoryW(folder.substr(0, pos).c_str(), nullptr);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring program = folder + L"\\" + qfplugin::kestrel::kEditorProgram;
    EXPECT_TRUE(::CopyFileW(WbloggarStandInPath().c_str(), program.c_str(), FALSE))
        << "error " << ::GetLastError() << " copying the stand-in";
    return program;
}

EditorClassUnregistered::EditorClassUnregistered()
{
    const LONG status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, EditorClassKey().c_str());
    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
}

EditorClassUnregistered::~EditorClassUnregistered()
{
    // The stand-in registers itself, as regsvr32 had it do for the fixture.
    HMODULE standIn = ::LoadLibraryW((TestBinDir() + L"\\LiveWriterStandIn.dll").c_str());
    if (!standIn)
    {
        ADD_FAILURE() << "cannot load the stand-in to register it again";
        return;
    }
    using RegisterFn = HRESULT(STDAPICALLTYPE*)();
    const auto registerServer =
        reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(::GetProcAddress(standIn, "DllRegisterServer")));
    EXPECT_TRUE(registerServer && SUCCEEDED(registerServer()));
    ::FreeLibrary(standIn);
}

} // namespace qftest
