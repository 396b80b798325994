// The plugins as the feed reader meets them: loaded by the reader's host in a
// process of its own, their message boxes found, read and answered.
#include "Kestrel.h"
#include "Lantern.h"
#include "PluginCall.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace qftest;

namespace
{
const auto& kLanternCaption = qfplugin::lantern::kCaption;
const auto& kLanternPrefix = qfplugin::lantern::kFailedPrefix;
const auto& kKestrelCaption = qfplugin::kestrel::kCaption;
const auto& kKestrelText = qfplugin::kestrel::kSomethingFailed;

const char kGoodItem[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?><rss version=\"2.0\"><channel><title>c</title>"
                         "<item><title>A title</title><description>Some text</description>"
                         "<link>http://example.org/1</link></item></channel></rss>";

struct BadItem
{
    const char* name;
    const char* text; // null: the host passes a null pointer
};

const BadItem kBadItems[] = {
    {"not well-formed", "<rss><channel><item><title>t</title><description>d</description><link>l</link>"},
    {"no title", "<rss><channel><item><description>d</description><link>l</link></item></channel></rss>"},
    {"no description", "<rss><channel><item><title>t</title><link>l</link></item></channel></rss>"},
    {"no link", "<rss><channel><item><title>t</title><description>d</description></item></channel></rss>"},
    {"null item", nullptr},
    {"root RSS", "<RSS><channel><item><title>t</title><description>d</description><link>l</link></item>"
                 "</channel></RSS>"},
    {"RSS 1.0", "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
                "xmlns=\"http://purl.org/rss/1.0/\"><channel rdf:about=\"c\"><title>c</title></channel>"
                "<item rdf:about=\"i\"><title>t</title><description>d</description><link>l</link></item></rdf:RDF>"},
    {"Atom", "<feed xmlns=\"http://www.w3.org/2005/Atom\"><title>c</title><entry><title>t</title>"
             "<summary>d</summary><link href=\"l\"/></entry></feed>"},
};

std::wstring Plugin(const wchar_t* name)
{
    return DistDir() + L"\\" + name + L".dll";
}

std::wstring HostPath()
{
    return TestBinDir() + L"\\PluginHost.exe";
}

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// The host's arguments for one item, written to a file of the scratch folder.
std::wstring ItemArguments(const ScratchDir& scratch, const char* text, const wchar_t* fileName = L"item.xml")
{
    if (!text)
        return L"--null-item";
    WriteFileBytes(scratch.file(fileName), text);
    return L"--item " + Quoted(scratch.file(fileName));
}

std::wstring LanternComFailure(HRESULT hr)
{
    return kLanternPrefix + ComErrorText(hr);
}

// Runs the host on one item and returns the one message box it showed, after
// answering it; the host must then end normally.
MessageBoxInfo BoxOfOneCall(const wchar_t* plugin, const std::wstring& arguments)
{
    LaunchOptions options;
    options.arguments = Quoted(Plugin(plugin)) + L" " + arguments;
    Process host(HostPath(), options);
    const MessageBoxInfo box = WaitForMessageBox(host.id());
    EXPECT_NE(box.hWnd, nullptr) << "no message box for " << std::string(arguments.begin(), arguments.end());
    // Every plugin box: an information icon and a single OK button.
    EXPECT_TRUE(box.icon);
    EXPECT_TRUE(box.OkOnly());
    if (box.hWnd)
        AnswerMessageBox(box);
    EXPECT_EQ(host.Wait(), 0u) << "BlogThis did not return normally";
    return box;
}

std::vector<HWND> VisibleMessageBoxesOf(DWORD pid)
{
    std::vector<HWND> boxes;
    for (HWND hWnd : TopLevelWindowsOf(pid))
        if (ClassNameOf(hWnd) == L"#32770" && ::IsWindowVisible(hWnd) && ::GetDlgItem(hWnd, 0xFFFF))
            boxes.push_back(hWnd);
    return boxes;
}
} // namespace

TEST(LanternBlogThis, BadItemsShowTheComErrorTextOfEPointer)
{
    ScratchDir scratch;
    LONG_PTR reserved = 0;
    for (const BadItem& item : kBadItems)
    {
        SCOPED_TRACE(item.name);
        // The second argument is never read: any value gives the same box.
        const MessageBoxInfo box = BoxOfOneCall(
            L"Lantern", ItemArguments(scratch, item.text) + L" --reserved " + std::to_wstring(reserved));
        EXPECT_EQ(box.caption, kLanternCaption);
        EXPECT_EQ(box.text, LanternComFailure(E_POINTER));
        reserved = reserved * 7 + 0x1234567;
    }
}

TEST(KestrelBlogThis, BadItemsShowItsOwnBox)
{
    ScratchDir scratch;
    LONG_PTR reserved = -1;
    for (const BadItem& item : kBadItems)
    {
        SCOPED_TRACE(item.name);
        const MessageBoxInfo box = BoxOfOneCall(
            L"Kestrel", ItemArguments(scratch, item.text) + L" --reserved " + std::to_wstring(reserved));
        EXPECT_EQ(box.caption, kKestrelCaption);
        EXPECT_EQ(box.text, kKestrelText);
        reserved = reserved * 3 + 0x55;
    }
}

TEST(PluginBlogThis, ThreadWithoutComFailsAtCreation)
{
    ScratchDir scratch;
    const std::wstring arguments = ItemArguments(scratch, kGoodItem) + L" --no-com";

    const MessageBoxInfo lantern = BoxOfOneCall(L"Lantern", arguments);
    EXPECT_EQ(lantern.caption, kLanternCaption);
    EXPECT_EQ(lantern.text, LanternComFailure(CO_E_NOTINITIALIZED));

    const MessageBoxInfo kestrel = BoxOfOneCall(L"Kestrel", arguments);
    EXPECT_EQ(kestrel.caption, kKestrelCaption);
    EXPECT_EQ(kestrel.text, kKestrelText);
}

TEST(PluginBlogThis, WellFormedItemsPassTheExtraction)
{
    ScratchDir scratch;
    // An empty description is no failure; neither is a huge one.
    const std::string items[] = {
        kGoodItem,
        "<rss><channel><item><title>t</title><description/><link>l</link></item></channel></rss>",
        "<rss><channel><item><title>t</title><description>" + std::string(4 << 20, 'x') +
            "</description><link>l</link></item></channel></rss>",
    };
    for (const auto& [plugin, extractionFailure] :
         {std::pair{L"Lantern", LanternComFailure(E_POINTER)}, std::pair{L"Kestrel", std::wstring(kKestrelText)}})
    {
        for (const std::string& item : items)
        {
            LaunchOptions options;
            options.arguments = Quoted(Plugin(plugin)) + L" " + ItemArguments(scratch, item.c_str()) +
                                L" --reserved 0x7FFFFFFF";
            Process host(HostPath(), options);
            // The item goes on to the hand-off, whose own outcome (a box of
            // the blog editor's) is no concern here; the extraction's box is.
            MessageBoxInfo box;
            ASSERT_TRUE(WaitUntil([&] {
                if (!host.running())
                    return true;
                box = WaitForMessageBox(host.id(), std::chrono::milliseconds(0));
                return box.hWnd != nullptr;
            }));
            if (box.hWnd)
            {
                EXPECT_NE(box.text, extractionFailure);
                AnswerMessageBox(box);
            }
            EXPECT_EQ(host.Wait(), 0u);
        }
    }
}

TEST(PluginBlogThis, HostileItemsEndInTheFailureBox)
{
    ScratchDir scratch;
    std::string deep = "<rss><channel><item><title>t</title><description>";
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    for (int i = 0; i < 100000; ++i)
        deep += "</a>";
    deep += "</description><link>l</link></item></channel></rss>";

    std::string bomb = "<!DOCTYPE rss [<!ENTITY a \"aaaaaaaaaa\">";
    for (char c = 'b'; c <= 'j'; ++c)
    {
        bomb += std::string("<!ENTITY ") + c + " \"";
        for (int i = 0; i < 10; ++i)
            bomb += std::string("&") + static_cast<char>(c - 1) + ";";
        bomb += "\">";
    }
    bomb += "]><rss><channel><item><title>&j;</title><description>d</description><link>l</link></item>"
            "</channel></rss>";

    std::string quadratic = "<!DOCTYPE rss [<!ENTITY big \"" + std::string(10240, 'x') +
                            "\">]><rss><channel><item><title>t</title><description>";
    for (int i = 0; i < 10000; ++i)
        quadratic += "&big;";
    quadratic += "</description><link>l</link></item></channel></rss>";

    for (const std::string* item : {&deep, &bomb, &quadratic})
    {
        const MessageBoxInfo lantern = BoxOfOneCall(L"Lantern", ItemArguments(scratch, item->c_str()));
        EXPECT_EQ(lantern.text, LanternComFailure(E_POINTER));
        const MessageBoxInfo kestrel = BoxOfOneCall(L"Kestrel", ItemArguments(scratch, item->c_str()));
        EXPECT_EQ(kestrel.text, kKestrelText);
    }
}

TEST(PluginBlogThis, NestedCallFromInsideTheBoxLoop)
{
    ScratchDir scratch;
    for (const wchar_t* plugin : {L"Lantern", L"Kestrel"})
    {
        LaunchOptions options;
        options.arguments = Quoted(Plugin(plugin)) + L" " +
                            ItemArguments(scratch,
                                          "<rss><channel><item><title>outer</title></item></channel></rss>") +
                            L" --nested " + Quoted(scratch.file(L"item.xml"));
        Process host(HostPath(), options);
        // The outer box, then the nested call's box on top of it.
        std::vector<HWND> boxes;
        ASSERT_TRUE(WaitUntil([&] {
            boxes = VisibleMessageBoxesOf(host.id());
            return boxes.size() == 2;
        })) << "the nested call did not show its own box";
        for (HWND hWnd : boxes)
        {
            MessageBoxInfo box;
            box.hWnd = hWnd;
            box.caption = WindowText(hWnd);
            box.text = WindowText(::GetDlgItem(hWnd, 0xFFFF));
            EXPECT_EQ(box.caption, plugin == std::wstring(L"Lantern") ? kLanternCaption : kKestrelCaption);
            EXPECT_EQ(box.text,
                      plugin == std::wstring(L"Lantern") ? LanternComFailure(E_POINTER) : std::wstring(kKestrelText));
        }
        // OK on both: the waiting call's box can only go once the nested
        // call's box has gone and that call has returned.
        for (HWND hWnd : boxes)
            ::PostMessageW(hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                           reinterpret_cast<LPARAM>(::GetDlgItem(hWnd, IDOK)));
        EXPECT_EQ(host.Wait(), 0u);
    }
}

TEST(PluginName, SameConstantAddressWithoutComBeforeAnyCall)
{
    for (const auto& [plugin, name] : {std::pair{L"Lantern", qfplugin::lantern::kPluginName},
                                       std::pair{L"Kestrel", qfplugin::kestrel::kPluginName}})
    {
        HMODULE module = ::LoadLibraryW(Plugin(plugin).c_str());
        ASSERT_NE(module, nullptr);
        const auto getName = reinterpret_cast<qfsupport::GetPluginNameFn>(
            reinterpret_cast<void*>(::GetProcAddress(module, "GetQuillfeedPluginName")));
        ASSERT_NE(getName, nullptr);

        // A fresh thread has no COM, and nothing has called BlogThis yet.
        // Each call leaves the stack pointer where it found it.
        const wchar_t* first = nullptr;
        const wchar_t* second = nullptr;
        std::thread([&] {
            EXPECT_EQ(qfsupport::CallGetPluginName(getName, first), 0);
            EXPECT_EQ(qfsupport::CallGetPluginName(getName, second), 0);
        }).join();
        EXPECT_EQ(first, second);
        EXPECT_STREQ(first, name);
        const wchar_t* third = nullptr;
        EXPECT_EQ(qfsupport::CallGetPluginName(getName, third), 0);
        EXPECT_EQ(third, first);

        // The name lies in the library's own read-only data.
        MEMORY_BASIC_INFORMATION memory{};
        ASSERT_NE(::VirtualQuery(first, &memory, sizeof(memory)), 0u);
        EXPECT_EQ(memory.AllocationBase, module);
        EXPECT_EQ(memory.Protect & (PAGE_READWRITE | PAGE_EXECUTE_READWRITE | PAGE_WRITECOPY), 0u);
        ::FreeLibrary(module);
    }
}
