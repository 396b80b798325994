// The hand-off of an item to w.bloggar: the item goes into a temporary file as
// an HTML quotation, and the editor, found through the current user's
// registry, is started on that file. Kestrel neither waits for the editor nor
// deletes the file: the editor reads it after BlogThis has returned.
#include "PluginFrame.h"

#include "BloggarText.h"
#include "Kestrel.h"
#include "Owners.h"

namespace qfplugin
{

namespace
{
// The name that GetTempFileNameW adds to the folder: "w", four hex digits, ".tmp".
constexpr DWORD kTempNameRoom = 14;

// The path of a new, empty file in the user's temporary folder; empty when
// the folder or a name cannot be had (the editor is still started then).
void MakeTemporaryFile(wchar_t (&path)[MAX_PATH])
{
    wchar_t folder[MAX_PATH]{};
    const DWORD length = ::GetTempPathW(MAX_PATH, folder);
    // A longer folder leaves no room for the name in the path buffer; not
    // every implementation of GetTempFileNameW refuses it. Under Wine
    // GetTempFileNameW also refuses an empty folder and leaves the path empty
    // when it fails, so neither the test of 0 nor the emptying of the path
    // shows in what the editor receives here.
    if (length == 0 || length > MAX_PATH - kTempNameRoom || !::GetTempFileNameW(folder, L"w", 0, path))
        path[0] = L'\0';
}

// The quotation in the code page it was made for, no byte-order mark, no
// terminator. A file that cannot be opened or written is passed over.
void WriteQuotationFile(const wchar_t* path, const std::wstring& quotation, UINT codePage)
{
    const unique_hfile file(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return;
    const std::string bytes = ToNarrow(quotation, codePage);
    DWORD written = 0;
    if (!bytes.empty())
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring ReadInstallFolder(HKEY key)
{
    wchar_t value[kInstallFolderChars]{};
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    const LONG status = ::RegQueryValueExW(key, kestrel::kInstallPathValue, nullptr, &type,
                                           reinterpret_cast<BYTE*>(value), &size);
    return InstallFolderFromValue(status, type, reinterpret_cast<const BYTE*>(value), size);
}

void StartEditor(wchar_t* commandLine)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (::CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, nullptr,
                         nullptr, &startup, &started))
    {
        // Closed at once, not waited for: the editor runs on its own.
        const unique_handle thread(started.hThread);
        const unique_handle process(started.hProcess);
    }
}
} // namespace

void HandOffItem(const FeedItem& item)
{
    // The thread's code page, taken once for the quotation and its file.
    const UINT codePage = QuotationCodePage();
    const std::wstring quotation = FormatQuotation(item, codePage);

    wchar_t path[MAX_PATH]{};
    MakeTemporaryFile(path);
    WriteQuotationFile(path, quotation, codePage);

    // Only read, so a user who may read the key but not change it still
    // finds the editor.
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kestrel::kSettingsKey, 0, KEY_READ, key.addressof()) != ERROR_SUCCESS)
    {
        ShowMessage(kestrel::kCannotFind, kestrel::kCaption);
        return;
    }
    const std::wstring folder = ReadInstallFolder(key.get());

    wchar_t commandLine[kCommandLineChars];
    if (!FormatCommandLine(folder.c_str(), path, commandLine, kCommandLineChars))
        AtlThrow(E_FAIL);
    StartEditor(commandLine);
}

} // namespace qfplugin
