// The resources as compiled from the resource script: the dialog template to
// the letter and as it lays out at the display's DPI, the placeholder menu,
// the program's manifest and version record, and the names and texts that
// others match.
#include "MainDlg.h"
#include "ModuleScope.h"
#include "TestSupport.h"
#include "UpdaterNames.h"
#include "resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

using namespace qftest;

namespace
{
struct TemplateItem
{
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD id = 0;
    std::wstring className;
    std::wstring text;
};

struct DialogTemplate
{
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu, windowClass, caption, typeface;
    WORD pointSize = 0, weight = 0;
    BYTE italic = 0, charset = 0;
    std::vector<TemplateItem> items;
};

class Reader
{
public:
    explicit Reader(const BYTE* p) : m_p(p), m_start(p) {}
    template <typename T>
    T Read()
    {
        T value;
        memcpy(&value, m_p, sizeof(T));
        m_p += sizeof(T);
        return value;
    }
    std::wstring ReadString()
    {
        std::wstring s;
        for (wchar_t c; (c = Read<wchar_t>()) != 0;)
            s.push_back(c);
        return s;
    }
    // A name or an ordinal; ordinals of the predefined classes become their names.
    std::wstring ReadNameOrOrdinal()
    {
        WORD first;
        memcpy(&first, m_p, sizeof(first));
        if (first == 0)
        {
            m_p += 2;
            return L"";
        }
        if (first == 0xFFFF)
        {
            m_p += 2;
            switch (const WORD ordinal = Read<WORD>())
            {
            case 0x80: return L"BUTTON";
            case 0x81: return L"EDIT";
            case 0x82: return L"STATIC";
            default: return L"#" + std::to_wstring(ordinal);
            }
        }
        return ReadString();
    }
    void AlignDword() { m_p = m_start + ((m_p - m_start + 3) & ~3); }

private:
    const BYTE* m_p;
    const BYTE* m_start;
};

DialogTemplate LoadMainDialogTemplate()
{
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(IDD_MAINDLG), MAKEINTRESOURCEW(5)); // RT_DIALOG
    if (!res)
        return {};
    Reader r(static_cast<const BYTE*>(::LockResource(::LoadResource(module, res))));
    DialogTemplate t;
    EXPECT_EQ(r.Read<WORD>(), 1) << "not an extended dialog template";
    EXPECT_EQ(r.Read<WORD>(), 0xFFFF);
    r.Read<DWORD>(); // help id
    EXPECT_EQ(r.Read<DWORD>(), 0u) << "extended style";
    t.style = r.Read<DWORD>();
    const WORD count = r.Read<WORD>();
    t.x = r.Read<short>();
    t.y = r.Read<short>();
    t.cx = r.Read<short>();
    t.cy = r.Read<short>();
    t.menu = r.ReadNameOrOrdinal();
    t.windowClass = r.ReadNameOrOrdinal();
    t.caption = r.ReadString();
    t.pointSize = r.Read<WORD>();
    t.weight = r.Read<WORD>();
    t.italic = r.Read<BYTE>();
    t.charset = r.Read<BYTE>();
    t.typeface = r.ReadString();
    for (WORD i = 0; i < count; ++i)
    {
        r.AlignDword();
        TemplateItem item;
        r.Read<DWORD>(); // help id
        EXPECT_EQ(r.Read<DWORD>(), 0u) << "extended style of item " << i;
        item.style = r.Read<DWORD>();
        item.x = r.Read<short>();
        item.y = r.Read<short>();
        item.cx = r.Read<short>();
        item.cy = r.Read<short>();
        item.id = r.Read<DWORD>();
        item.className = r.ReadNameOrOrdinal();
        item.text = r.ReadNameOrOrdinal();
        const WORD extra = r.Read<WORD>();
        for (WORD b = 0; b < extra; ++b)
            r.Read<BYTE>();
        t.items.push_back(item);
    }
    return t;
}
} // namespace

TEST(DialogTemplate, MainDialogHasItsCaptionFontStyleAndSize)
{
    const DialogTemplate t = LoadMainDialogTemplate();
    EXPECT_EQ(t.style, 0x00CA0040u);
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 0);
    EXPECT_EQ(t.cx, 395);
    EXPECT_EQ(t.cy, 282);
    EXPECT_EQ(t.menu, L"");
    EXPECT_EQ(t.windowClass, L"");
    EXPECT_EQ(t.caption, L"Quillfeed Automatic Update");
    EXPECT_EQ(t.pointSize, 8);
    EXPECT_EQ(t.weight, 0);
    EXPECT_EQ(t.italic, 0);
    EXPECT_EQ(t.charset, 0);
    EXPECT_EQ(t.typeface, L"MS Sans Serif");
}

TEST(DialogTemplate, MainDialogControlsAreExactlyTheNineInTemplateOrder)
{
    struct Expected
    {
        DWORD id;
        const wchar_t* className;
        const wchar_t* text;
        short x, y, cx, cy;
        DWORD style;
    };
    const Expected expected[] = {
        {1000, L"EDIT", L"", 7, 17, 381, 194, 0x50A00804},
        {1005, L"BUTTON", L"Download && Upgrade", 7, 216, 79, 14, 0x50010001},
        {1007, L"BUTTON", L"Installer version", 92, 218, 104, 10, 0x50020009},
        {1008, L"BUTTON", L"Zipped version", 92, 230, 104, 10, 0x50000009},
        {2, L"BUTTON", L"Close", 314, 215, 74, 14, 0x50010000},
        {1006, L"STATIC", L"Downloading...", 7, 249, 301, 8, 0x40020000},
        {1002, L"msctls_progress32", L"", 7, 261, 244, 14, 0x40800000},
        {1009, L"STATIC", L"How to upgrade?", 199, 219, 56, 8, 0x50020000},
        {1010, L"STATIC", L"What's New:", 7, 7, 42, 8, 0x50020000},
    };
    const DialogTemplate t = LoadMainDialogTemplate();
    ASSERT_EQ(t.items.size(), std::size(expected));
    for (size_t i = 0; i < t.items.size(); ++i)
    {
        SCOPED_TRACE(expected[i].id);
        const TemplateItem& item = t.items[i];
        EXPECT_EQ(item.id, expected[i].id);
        // Class names are case-insensitive; the resource compiler stores custom ones in capitals.
        EXPECT_EQ(_wcsicmp(item.className.c_str(), expected[i].className), 0);
        EXPECT_EQ(item.text, expected[i].text);
        EXPECT_EQ(item.x, expected[i].x);
        EXPECT_EQ(item.y, expected[i].y);
        EXPECT_EQ(item.cx, expected[i].cx);
        EXPECT_EQ(item.cy, expected[i].cy);
        EXPECT_EQ(item.style, expected[i].style);
    }
}

TEST(DialogTemplate, PlaceholderMenuDefinesTheThreeDownloadCommands)
{
    HMENU menu = ::LoadMenuW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_PLACEHOLDER));
    ASSERT_NE(menu, nullptr);
    wchar_t name[64]{};
    ::GetMenuStringW(menu, 0, name, 64, MF_BYPOSITION);
    EXPECT_STREQ(name, L"PlaceHolder");
    HMENU popup = ::GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);
    const std::pair<UINT, const wchar_t*> items[] = {
        {0x8005, L"ID_DOWNLOAD_READY"}, {0x8007, L"ID_DOWNLOAD_FAILED"}, {0x8009, L"ID_DOWNLOAD_PROGRESS"}};
    ASSERT_EQ(::GetMenuItemCount(popup), 3);
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(::GetMenuItemID(popup, i), items[i].first);
        ::GetMenuStringW(popup, i, name, 64, MF_BYPOSITION);
        EXPECT_STREQ(name, items[i].second);
    }
    ::DestroyMenu(menu);
}

TEST(DialogTemplate, NoIconIsShipped)
{
    EXPECT_EQ(::FindResourceW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME), MAKEINTRESOURCEW(14)),
              nullptr); // RT_GROUP_ICON
}

// The program file as built, its resources read as the loader reads them.
TEST(DialogTemplate, ManifestAndVersionRecordNameTheProgram)
{
    const std::wstring program = UpdaterPath();
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&::FreeLibrary)> file(
        ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE),
        ::FreeLibrary);
    ASSERT_TRUE(file) << Utf8(program);
    const HMODULE module = file.get();
    HRSRC hManifest = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_NE(hManifest, nullptr);
    const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(module, hManifest))),
                               ::SizeofResource(module, hManifest));
    // The program's own assembly, and version 6 of the common controls, both
    // for the architecture the program is built for.
    const std::string arch = sizeof(void*) == 4 ? "x86" : "amd64";
    for (const std::string& part :
         {"<assemblyIdentity version=\"1.0.0.0\" processorArchitecture=\"" + arch +
              "\" name=\"QuillfeedUpdater\" type=\"win32\"/>",
          std::string("<description>QuillfeedUpdater Application</description>"),
          "<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" "
          "processorArchitecture=\"" +
              arch + "\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part << "\n" << manifest;

    // What the system makes of the rest, from the activation context it
    // builds from the manifest: an entry in the wrong place or namespace
    // counts for nothing there.
    ACTCTXW actctx{};
    actctx.cbSize = sizeof(actctx);
    actctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    actctx.lpSource = program.c_str();
    actctx.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE hContext = ::CreateActCtxW(&actctx);
    ASSERT_NE(hContext, INVALID_HANDLE_VALUE);
    const std::unique_ptr<void, decltype(&::ReleaseActCtx)> context(hContext, ::ReleaseActCtx);
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION runLevel{};
    ASSERT_TRUE(::QueryActCtxW(0, hContext, nullptr, RunlevelInformationInActivationContext, &runLevel,
                               sizeof(runLevel), nullptr));
    EXPECT_EQ(runLevel.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    EXPECT_EQ(runLevel.UiAccess, 0u);
    wchar_t szDpiAware[16]{};
    ASSERT_TRUE(::QueryActCtxSettingsW(0, hContext, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings",
                                       L"dpiAware", szDpiAware, 16, nullptr));
    EXPECT_STREQ(szDpiAware, L"true");
    // The supported systems, each an id followed by its type; the record grew
    // with Windows 10, so the ids are looked for rather than read by layout.
    BYTE compatibility[1024]{};
    SIZE_T cbCompatibility = 0;
    ASSERT_TRUE(::QueryActCtxW(0, hContext, nullptr, CompatibilityInformationInActivationContext, compatibility,
                               sizeof(compatibility), &cbCompatibility));
    DWORD nEntries = 0;
    memcpy(&nEntries, compatibility, sizeof(nEntries));
    EXPECT_EQ(nEntries, 4u);
    const std::pair<const char*, GUID> systems[] = {
        {"Windows 7", {0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}}},
        {"Windows 8", {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}}},
        {"Windows 8.1", {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}}},
        {"Windows 10 and 11", {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}}},
    };
    for (const auto& [name, id] : systems)
    {
        bool bListed = false;
        for (SIZE_T i = sizeof(DWORD); i + sizeof(GUID) + sizeof(DWORD) <= cbCompatibility; i += sizeof(DWORD))
        {
            DWORD type = 0;
            memcpy(&type, compatibility + i + sizeof(GUID), sizeof(type));
            bListed |= memcmp(compatibility + i, &id, sizeof(GUID)) == 0 &&
                       type == ACTCTX_COMPATIBILITY_ELEMENT_TYPE_OS;
        }
        EXPECT_TRUE(bListed) << name;
    }

    HRSRC hVersion = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)); // RT_VERSION
    ASSERT_NE(hVersion, nullptr);
    const BYTE* pData = static_cast<const BYTE*>(::LockResource(::LoadResource(module, hVersion)));
    std::vector<BYTE> record(pData, pData + ::SizeofResource(module, hVersion));
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT nLength = 0;
    ASSERT_TRUE(::VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&pFixed), &nLength));
    EXPECT_EQ(pFixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(pFixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(pFixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(pFixed->dwProductVersionLS, 0x00000001u);
    EXPECT_EQ(pFixed->dwFileType, static_cast<DWORD>(VFT_APP));
    const std::pair<const wchar_t*, const wchar_t*> strings[] = {{L"FileDescription", L"QuillfeedUpdater Module"},
                                                                 {L"ProductName", L"QuillfeedUpdater Module"},
                                                                 {L"InternalName", L"QuillfeedUpdater"},
                                                                 {L"OriginalFilename", L"QuillfeedUpdater.exe"},
                                                                 {L"FileVersion", L"1, 0, 0, 1"},
                                                                 {L"ProductVersion", L"1, 0, 0, 1"}};
    for (const auto& [name, value] : strings)
    {
        wchar_t* pText = nullptr;
        ASSERT_TRUE(::VerQueryValueW(record.data(), (std::wstring(L"\\StringFileInfo\\040904B0\\") + name).c_str(),
                                     reinterpret_cast<void**>(&pText), &nLength))
            << std::string(name, name + wcslen(name));
        EXPECT_STREQ(pText, value);
    }
}

// Everything else takes these from the one header, so only this table sees
// one of them change; each is what a reader, a publisher or a settings file
// of an earlier version relies on.
TEST(DialogTemplate, NamesAndTextsThatOthersMatchAreKeptToTheLetter)
{
    const std::pair<const wchar_t*, const wchar_t*> names[] = {
        {kReaderWindowClass, L"Quillfeed_FrameWindowClass"},
        {kSetupPackagePath, L"/dist/QuillfeedSetup.exe"},
        {kZipPackagePath, L"/dist/Quillfeed.zip"},
        {kWhatsNewTextPath, L"/whatsnew.txt"},
        {kWhatsNewPagePath, L"/whatsnew.html"},
        {kHowToUpgradePagePath, L"/blog/14"},
        {kReadyText,
         L"Download is ready. Automatic Update is going to close Quillfeed and upgrade to the latest version."},
        {kWhatsNewFailedText, L"Failed to reterieve What's New infomation"},
        {kSettingsFilePath, L"./Quillfeed.ini"},
        {kSettingsSection, L"ActiveUpdater"},
        {kPackagingKey, L"Packaging"},
    };
    for (const auto& [name, text] : names)
        EXPECT_STREQ(name, text);
}

namespace
{
LONG FontHeight(HWND hWnd)
{
    LOGFONTW lf{};
    ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(hWnd, WM_GETFONT, 0, 0)), sizeof(lf), &lf);
    return lf.lfHeight;
}

// The update dialog as the program sets it up (its What's New text cannot be
// fetched here, which changes nothing of its layout), at this process's DPI:
// its fonts, and the room each label, radio button and button gives its
// text against the room the text needs in the control's own font.
void ExpectEveryTextFits(int nDpi)
{
    ModuleScope module;
    CMainDlg dlg;
    const unique_hwnd dialog(dlg.Create(nullptr));
    ASSERT_TRUE(dialog);
    const unique_hdc_window dc(dialog.get());
    ASSERT_EQ(::GetDeviceCaps(dc.get(), LOGPIXELSY), nDpi) << "the DPI this process started with";
    // The dialog's 8-point font and the What's New text, 16 pixels at 96 DPI.
    EXPECT_EQ(FontHeight(dialog.get()), -::MulDiv(8, nDpi, 72));
    EXPECT_EQ(FontHeight(::GetDlgItem(dialog.get(), IDC_WHATSNEW_TEXT)), ::MulDiv(16, nDpi, 96));
    int nTexts = 0;
    for (HWND hCtl = ::GetWindow(dialog.get(), GW_CHILD); hCtl; hCtl = ::GetWindow(hCtl, GW_HWNDNEXT))
    {
        // A static wraps its words within its width, a button keeps one line.
        const std::wstring text = WindowText(hCtl);
        const bool bStatic = _wcsicmp(ClassNameOf(hCtl).c_str(), L"Static") == 0;
        if (text.empty() || (!bStatic && _wcsicmp(ClassNameOf(hCtl).c_str(), L"Button") != 0))
            continue;
        SCOPED_TRACE(testing::Message() << nDpi << " DPI, control " << ::GetDlgCtrlID(hCtl));
        ++nTexts;
        const unique_select_font font(dc.get(), reinterpret_cast<HFONT>(::SendMessageW(hCtl, WM_GETFONT, 0, 0)));
        RECT rcRoom{}, rcText{};
        ::GetClientRect(hCtl, &rcRoom);
        rcText.right = rcRoom.right;
        ::DrawTextW(dc.get(), text.c_str(), -1, &rcText, DT_CALCRECT | (bStatic ? DT_WORDBREAK : DT_SINGLELINE));
        if (!bStatic && (::GetWindowLongW(hCtl, GWL_STYLE) & BS_TYPEMASK) == BS_AUTORADIOBUTTON)
            rcText.right += ::MulDiv(16, nDpi, 96); // the round box and the gap after it
        else if (!bStatic)
            rcText.right += 4 * ::GetSystemMetrics(SM_CXEDGE); // the 3-D edge and the focus rectangle's room
        EXPECT_LE(rcText.right, rcRoom.right);
        EXPECT_LE(rcText.bottom, rcRoom.bottom);
    }
    EXPECT_EQ(nTexts, 7);
}
} // namespace

// A process reads the display's DPI when it starts, so the dialog is checked
// here at the test prefix's own DPI and by this test run again in a process
// of its own at 144 DPI (150 %), with LogPixels set in the prefix only until
// that process has ended.
TEST(DialogTemplate, EveryTextFitsItsControlAtOneAndAHalfTimesTheDpi)
{
    wchar_t szDpi[8]{};
    if (::GetEnvironmentVariableW(L"QF_DIALOG_DPI", szDpi, 8))
        return ExpectEveryTextFits(_wtoi(szDpi));
    // 96 also shows that no test before this one left another DPI behind.
    ExpectEveryTextFits(96);
    wchar_t szSelf[MAX_PATH]{};
    ::GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
    LaunchOptions options;
    options.arguments = L"--gtest_filter=DialogTemplate.EveryTextFitsItsControlAtOneAndAHalfTimesTheDpi";
    options.environment = {L"QF_DIALOG_DPI=144"};
    const ScopedRegistryValue dpi(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", DWORD{144});
    ASSERT_TRUE(dpi.applied());
    Process child(szSelf, options);
    EXPECT_EQ(child.Wait(), 0u) << "at 144 DPI (its output is above)";
}
