// What blogging an item costs in each plugin, against the bare MSXML work of
// the same item (create the document, load the text, run the three queries),
// measured side by side in one run so that the ratios do not depend on how
// busy the machine is.
//
//   BridgeBench.exe [rounds]
//
// Lantern hands the item to the editor stand-in (registered in the prefix).
// Kestrel is measured with an install folder whose wbloggar.exe is an empty
// file, not a program, so its figure is its own work (quotation, registry,
// the editor's file found, temporary file, the attempt to start the editor)
// without an editor process starting; its file write (a new file under a free
// name, conversion, one write) is reported on its own as well.
// Temporary files go to a scratch folder that is removed at the end, and the
// w.bloggar settings key is removed again. Prints a table; never fails on time.
#include <windows.h>
#include <msxml2.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "EditorApplication.h"
#include "Files.h"
#include "WindowSearch.h"

namespace
{
using BlogThisFn = void(WINAPI*)(const wchar_t* itemText, LONG_PTR reserved);

const IID kIidDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
// w.bloggar's settings, as the editor writes them.
const wchar_t kSettingsKey[] = L"Software\\VB and VBA Program Settings\\Bloggar";

std::wstring Item(size_t descriptionChars)
{
    std::wstring description;
    const std::wstring sentence = L"A feed item&apos;s description with &lt;b&gt;markup&lt;/b&gt; in it. ";
    while (description.size() < descriptionChars)
        description += sentence;
    return L"<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>C</title><item>"
           L"<title>A title of the usual length for a feed item</title><description>" +
           description +
           L"</description><link>http://example.org/2026/12/a-post-about-it</link></item>"
           L"</channel></rss>";
}

// The extraction's own work, done directly.
void BareMsxml(const std::wstring& item)
{
    CLSID clsid{};
    ::CLSIDFromProgID(L"MSXML2.DOMDocument.3.0", &clsid);
    IXMLDOMDocument2* document = nullptr;
    if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIidDocument2,
                                  reinterpret_cast<void**>(&document))))
        return;
    BSTR xml = ::SysAllocString(item.c_str());
    VARIANT_BOOL loaded = VARIANT_FALSE;
    document->loadXML(xml, &loaded);
    ::SysFreeString(xml);
    for (const wchar_t* query :
         {L"/rss/channel/item/title", L"/rss/channel/item/description", L"/rss/channel/item/link"})
    {
        BSTR q = ::SysAllocString(query);
        IXMLDOMNode* node = nullptr;
        if (document->selectSingleNode(q, &node) == S_OK && node)
        {
            BSTR text = nullptr;
            node->get_text(&text);
            ::SysFreeString(text);
            node->Release();
        }
        ::SysFreeString(q);
    }
    document->Release();
}

// The editor's side of the hand-off, done directly: its object made the way
// any client of a possibly local server makes it, and one item call.
void BareEditorCall(BSTR title, BSTR link, BSTR description)
{
    IUnknown* unknown = nullptr;
    if (FAILED(::CoCreateInstance(kClsidEditor, nullptr,
                                  CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER, IID_IUnknown,
                                  reinterpret_cast<void**>(&unknown))))
        return;
    IEditorApplication* application = nullptr;
    if (SUCCEEDED(::OleRun(unknown)) &&
        SUCCEEDED(unknown->QueryInterface(kIidEditorApplication, reinterpret_cast<void**>(&application))))
    {
        application->BlogThisItem(title, link, description);
        application->Release();
    }
    unknown->Release();
}

// What Kestrel does to write its file, done directly.
void FileWrite(const std::wstring& quotation)
{
    wchar_t folder[MAX_PATH]{}, path[MAX_PATH]{};
    ::GetTempPathW(MAX_PATH, folder);
    HANDLE file = INVALID_HANDLE_VALUE;
    for (UINT number = ::GetTickCount(); file == INVALID_HANDLE_VALUE; ++number)
    {
        ::GetTempFileNameW(folder, L"w", 1 + number % 0xFFFF, path);
        file = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_FLAG_SEQUENTIAL_SCAN,
                             nullptr);
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            return;
    }
    const int size = ::WideCharToMultiByte(CP_THREAD_ACP, 0, quotation.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, quotation.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(size - 1), &written, nullptr);
    ::CloseHandle(file);
}

double Seconds(const std::function<void()>& work, int times)
{
    LARGE_INTEGER frequency{}, start{}, end{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (int i = 0; i < times; ++i)
        work();
    ::QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart) / times;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A plugin box would stop the run: report it and end.
void GiveUpOnBox(HWND box)
{
    std::fwprintf(stderr, L"A plugin showed a message box, so nothing is measured: %ls\n",
                  qfsupport::WindowText(::GetDlgItem(box, 0xFFFF)).c_str());
    ::ExitProcess(3);
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int rounds = argc > 1 ? std::max(1, _wtoi(argv[1])) : 15;
    ::CoInitialize(nullptr);

    const std::wstring dist = qfsupport::ModuleFolder() + L"\\..\\dist\\";
    HMODULE lantern = ::LoadLibraryW((dist + L"Lantern.dll").c_str());
    HMODULE kestrel = ::LoadLibraryW((dist + L"Kestrel.dll").c_str());
    if (!lantern || !kestrel)
    {
        std::fprintf(stderr, "cannot load the plugins from %ls\n", dist.c_str());
        return 2;
    }
    const auto lanternBlogThis =
        reinterpret_cast<BlogThisFn>(reinterpret_cast<void*>(::GetProcAddress(lantern, "BlogThis")));
    const auto kestrelBlogThis =
        reinterpret_cast<BlogThisFn>(reinterpret_cast<void*>(::GetProcAddress(kestrel, "BlogThis")));

    // A scratch temporary folder, and an install folder whose editor cannot start.
    const qfsupport::ScratchDir scratchDir(L"qfbench");
    const std::wstring& scratch = scratchDir.path();
    ::SetEnvironmentVariableW(L"TMP", scratch.c_str());
    ::SetEnvironmentVariableW(L"TEMP", scratch.c_str());
    ::SetEnvironmentVariableW(L"QF_LIVEWRITER_LOG", nullptr);
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    const std::wstring noEditor = scratch + L"\\no-editor-here";
    ::CreateDirectoryW(noEditor.c_str(), nullptr);
    qfsupport::WriteFileBytes(noEditor + L"\\wbloggar.exe", "");
    ::RegSetValueExW(key, L"InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(noEditor.c_str()),
                     static_cast<DWORD>((noEditor.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(key);

    std::optional<qfsupport::MessageBoxWatch> watcher(std::in_place, GiveUpOnBox, std::chrono::milliseconds(100));

    struct Case
    {
        const char* name;
        std::wstring item;
        int times;
    };
    const Case cases[] = {{"typical (4 KB description)", Item(4 * 1024), 200},
                          {"large (1 MB description)", Item(1024 * 1024), 5}};
    std::printf("BlogThis against the bare MSXML work of the same item, median of %d rounds, %s plugins\n\n", rounds,
                sizeof(void*) == 4 ? "32-bit (x86)" : "64-bit (x64)");
    std::printf("%-28s %10s %10s %10s %7s %10s %7s %10s\n", "item", "MSXML ms", "editor ms", "Lantern ms", "ratio",
                "Kestrel ms", "ratio", "file ms");
    for (const Case& c : cases)
    {
        const std::wstring quotation = L"<blockquote><a href='http://example.org/'>title</a><br>" + c.item +
                                       L"</blockquote>";
        // One call of each first, outside the measurement: loads MSXML and the stand-in.
        BareMsxml(c.item);
        lanternBlogThis(c.item.c_str(), 0);
        kestrelBlogThis(c.item.c_str(), 0);
        BSTR title = ::SysAllocString(L"A title of the usual length for a feed item");
        BSTR link = ::SysAllocString(L"http://example.org/2026/12/a-post-about-it");
        BSTR description = ::SysAllocString(c.item.c_str() + c.item.find(L"<description>") + 13);
        // Each round measures the five in another order, so that none is
        // always the first after the others.
        std::vector<std::function<void()>> work = {
            [&] { BareMsxml(c.item); },
            [&] { BareEditorCall(title, link, description); },
            [&] { lanternBlogThis(c.item.c_str(), 0); },
            [&] { kestrelBlogThis(c.item.c_str(), 0); },
            [&] { FileWrite(quotation); },
        };
        std::vector<std::vector<double>> times(work.size());
        for (int r = 0; r < rounds; ++r)
        {
            for (size_t i = 0; i < work.size(); ++i)
            {
                const size_t w = (i + static_cast<size_t>(r)) % work.size();
                times[w].push_back(Seconds(work[w], c.times));
            }
        }
        ::SysFreeString(title);
        ::SysFreeString(link);
        ::SysFreeString(description);
        const double b = Median(times[0]), e = Median(times[1]), l = Median(times[2]), k = Median(times[3]),
                     f = Median(times[4]);
        std::printf("%-28s %10.3f %10.3f %10.3f %7.3f %10.3f %7.3f %10.3f\n", c.name, b * 1e3, e * 1e3, l * 1e3,
                    l / b, k * 1e3, k / b, f * 1e3);
    }
    std::printf("\nMSXML: create, load, three queries. editor: the editor stand-in's object made and called.\n"
                "ratio: the plugin's BlogThis over the bare MSXML work (target for Lantern: at most 1.10).\n"
                "Kestrel includes its file write (shown alone as \"file ms\") and a failing start of the editor.\n");

    watcher.reset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    ::FreeLibrary(kestrel);
    ::FreeLibrary(lantern);
    ::CoUninitialize();
    return 0;
}
