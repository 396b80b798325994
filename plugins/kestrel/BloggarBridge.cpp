// The hand-off of an item to w.bloggar: the editor is found through the
// current user's registry, the item goes into a new temporary file as an HTML
// quotation, and the editor is started on that file. Kestrel neither waits for
// the editor nor deletes the file: the editor reads it after BlogThis has
// returned.
#include "PluginFrame.h"

#include "BloggarText.h"
#include "Kestrel.h"
#include "Owners.h"

namespace qfplugin
{

namespace
{
// The name GetTempFileNameW adds to the folder: "w", four hex digits, ".tmp".
constexpr DWORD kTempNameRoom = 14;

// The full path of w.bloggar's program, or empty when the registry names no
// usable folder or the folder holds no such program. Never a program from a
// place the registry does not name: a missing or relative folder would
// otherwise start whatever wbloggar.exe lies in the root of the current drive,
// which on removable and many secondary drives any user may put there.
std::wstring FindEditor(HKEY key)
{
    wchar_t value[kInstallFolderChars]{};
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    const LONG status = ::RegQueryValueExW(key, kestrel::kInstallPathValue, nullptr, &type,
                                           reinterpret_cast<BYTE*>(value), &size);
    std::wstring program =
        EditorProgramPath(InstallFolderFromValue(status, type, reinterpret_cast<const BYTE*>(value), size));
    if (program.empty())
        return program;
    const DWORD attributes = ::GetFileAttributesW(program.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        program.clear();
    return program;
}

// A new file in the user's temporary folder; its path goes into path, empty
// when the folder or a new name cannot be had (the editor is started all the
// same then).
unique_hfile CreateTemporaryFile(wchar_t (&path)[MAX_PATH])
{
    path[0] = L'\0';
    wchar_t folder[MAX_PATH]{};
    const DWORD length = ::GetTempPathW(MAX_PATH, folder);
    // A longer folder leaves no room for the name in the path buffer; not
    // every implementation of GetTempFileNameW refuses it. (Wine's refuses an
    // empty folder as well, so the test of 0 shows in nothing here.)
    if (length == 0 || length > MAX_PATH - kTempNameRoom)
        return {};
    // The numbers start where the platform's own naming starts them.
    return CreateQuotationFile(folder, ::GetTickCount(), path);
}

// The quotation in the code page it was made for, no byte-order mark, no
// terminator. A file that cannot be written is passed over.
void WriteQuotation(const unique_hfile& file, const std::wstring& quotation, UINT codePage)
{
    if (!file)
        return;
    const std::string bytes = ToNarrow(quotation, codePage);
    DWORD written = 0;
    if (!bytes.empty())
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// The program is named as the application as well as on the command line, so
// that no reading of the command line can make it another program. (With the
// program's path quoted and free of quotes, the command line alone names the
// same program: the difference shows in nothing that a test here can see.)
void StartEditor(const std::wstring& program, wchar_t* commandLine)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (::CreateProcessW(program.c_str(), commandLine, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, nullptr,
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

    // Only read, so a user who may read the key but not change it still
    // finds the editor. The file is made only once the editor is found: no
    // stray file when w.bloggar is not installed.
    unique_hkey key;
    std::wstring program;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kestrel::kSettingsKey, 0, KEY_READ, key.addressof()) == ERROR_SUCCESS)
        program = FindEditor(key.get());
    if (program.empty())
    {
        ShowMessage(kestrel::kCannotFind, kestrel::kCaption);
        return;
    }

    wchar_t path[MAX_PATH]{};
    {
        // Closed before the editor starts, so that the editor may open it as it
        // likes. (The editor's start takes longer than the rest of this call,
        // so a handle kept to the end would rarely be seen.)
        const unique_hfile file = CreateTemporaryFile(path);
        WriteQuotation(file, quotation, codePage);
    }

    wchar_t commandLine[kCommandLineChars];
    if (!FormatCommandLine(program.c_str(), path, commandLine, kCommandLineChars))
        AtlThrow(E_FAIL);
    StartEditor(program, commandLine);
}

} // namespace qfplugin
