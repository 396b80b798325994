// Walks through the update program the way a user would and leaves
// screenshots of what the user sees (BMP files, named by the step).
//   QuillfeedDemo.exe <output folder>
#include "Publisher.h"

#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Files.h"
#include "Owners.h"
#include "Registry.h"
#include "WindowSearch.h"

using qfsupport::FindVisibleDialog;
using qfsupport::ModuleFolder;
using qfsupport::ReadFileBytes;
using qfsupport::WaitUntil;
using qfsupport::WindowText;
using namespace std::chrono_literals;

namespace
{
// The names the demo meets the program by, spelt as the reader, the publisher
// and the user know them: the demo stands outside the program, as a test does.
const wchar_t kReaderWindowClass[] = L"Quillfeed_FrameWindowClass";
const wchar_t kDialogCaption[] = L"Quillfeed Automatic Update";
const wchar_t kSetupPackageName[] = L"QuillfeedSetup.exe";
const char kSetupPackageNameA[] = "QuillfeedSetup.exe";
const char kSetupPackagePathA[] = "/dist/QuillfeedSetup.exe";
const wchar_t kWhatsNewTextPath[] = L"/whatsnew.txt";
const char kWhatsNewTextPathA[] = "/whatsnew.txt";
const wchar_t kWhatsNewFailedText[] = L"Failed to reterieve What's New infomation";
const wchar_t kSettingsFileName[] = L"Quillfeed.ini";
const wchar_t kSettingsSection[] = L"ActiveUpdater";
const wchar_t kPackagingKey[] = L"Packaging";
std::wstring g_outDir;

// Saves what the screen shows of a window as a 24-bit BMP.
void Screenshot(HWND hWnd, const wchar_t* name)
{
    ::RedrawWindow(hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    ::Sleep(300); // let the program paint; only the picture depends on it
    RECT rc{};
    ::GetWindowRect(hWnd, &rc);
    const int cx = rc.right - rc.left, cy = rc.bottom - rc.top;
    HDC screen = ::GetDC(nullptr);
    HDC mem = ::CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = cx;
    bi.bmiHeader.biHeight = cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bmp = ::CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, bmp);
    ::BitBlt(mem, 0, 0, cx, cy, screen, rc.left, rc.top, SRCCOPY);
    ::SelectObject(mem, old);

    const DWORD stride = ((cx * 3 + 3) & ~3);
    const DWORD size = stride * cy;
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(fh) + sizeof(bi.bmiHeader);
    fh.bfSize = fh.bfOffBits + size;
    const std::wstring path = g_outDir + L"\\" + name + L".bmp";
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(file, &fh, sizeof(fh), &written, nullptr);
    ::WriteFile(file, &bi.bmiHeader, sizeof(bi.bmiHeader), &written, nullptr);
    ::WriteFile(file, bits, size, &written, nullptr);
    ::CloseHandle(file);
    ::DeleteObject(bmp);
    ::DeleteDC(mem);
    ::ReleaseDC(nullptr, screen);
    wprintf(L"  screenshot: %ls.png\n", name);
}

struct Updater
{
    std::unique_ptr<qfsupport::Process> process;
    HWND dialog = nullptr;
};

// The update program as shipped, or one built from the same sources for the
// https:// publisher with the publisher's key.
const wchar_t kShipped[] = L"\\..\\dist\\QuillfeedUpdater.exe";
const wchar_t kSignedHttps[] = L"\\..\\variants\\signed\\QuillfeedUpdater.exe";

bool StartUpdater(Updater& u, const std::wstring& currentDir, const wchar_t* program = kShipped)
{
    qfsupport::LaunchOptions options;
    options.currentDirectory = currentDir;
    u.process = std::make_unique<qfsupport::Process>(ModuleFolder() + program, options);
    return u.process->started() && WaitUntil([&] {
               return (u.dialog = FindVisibleDialog(u.process->id(), false, kDialogCaption)) != nullptr;
           });
}


// Reads a message box aloud, takes its picture and presses OK.
void AnswerBox(HWND box, const wchar_t* screenshot)
{
    wprintf(L"  message box \"%ls\": %ls\n", WindowText(box).c_str(), WindowText(::GetDlgItem(box, 0xFFFF)).c_str());
    Screenshot(box, screenshot);
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
    WaitUntil([&] { return !::IsWindow(box); });
}

std::string ReadRecord(const wchar_t* name)
{
    return ReadFileBytes(g_outDir + L"\\" + name);
}

// Whether a run of the update program left its private folder (and so its
// package) in the temporary folder.
bool PackageLeft()
{
    wchar_t temp[MAX_PATH]{};
    ::GetTempPathW(MAX_PATH, temp);
    WIN32_FIND_DATAW found{};
    const unique_hfind search(::FindFirstFileW((std::wstring(temp) + L"QuillfeedUpdate-*").c_str(), &found));
    return static_cast<bool>(search);
}

std::unique_ptr<qfsupport::Process> StartReader()
{
    wprintf(L"Starting the feed reader stand-in (window class %ls)\n", kReaderWindowClass);
    qfsupport::LaunchOptions options;
    options.currentDirectory = g_outDir;
    auto reader = std::make_unique<qfsupport::Process>(ModuleFolder() + L"\\ReaderStandIn.exe", options);
    if (!reader->started() || !WaitUntil([] { return ::FindWindowW(kReaderWindowClass, nullptr) != nullptr; }))
    {
        wprintf(L"  the reader stand-in did not start\n");
        return nullptr;
    }
    return reader;
}

// The screenshots of one road; those without a name are not taken.
struct RoadShots
{
    const wchar_t* reader;
    const wchar_t* downloading; // also waits for the progress to show
    const wchar_t* ready;
    const wchar_t* installer;
};

// One update road: the reader runs, the user downloads the installer
// package, the updater closes the reader and runs the installer. True when
// the updater ended with 1 and the reader closed.
bool HandOffRoad(const wchar_t* program, const RoadShots& shots)
{
    const auto reader = StartReader();
    if (!reader)
        return false;
    if (shots.reader)
        Screenshot(::FindWindowW(kReaderWindowClass, nullptr), shots.reader);

    wprintf(L"Starting QuillfeedUpdater.exe again\n");
    Updater road;
    if (!StartUpdater(road, g_outDir, program))
    {
        wprintf(L"  the update dialog did not appear\n");
        return false;
    }
    const std::wstring whatsNew = WindowText(::GetDlgItem(road.dialog, 1000));
    wprintf(L"  What's New begins: %ls\n", whatsNew.substr(0, whatsNew.find(L'\r')).c_str());
    wprintf(L"Choosing \"Installer version\" and pressing \"Download & Upgrade\"\n");
    ::SendMessageW(::GetDlgItem(road.dialog, 1007), BM_CLICK, 0, 0);
    ::PostMessageW(::GetDlgItem(road.dialog, 1005), BM_CLICK, 0, 0);
    if (shots.downloading)
    {
        HWND status = ::GetDlgItem(road.dialog, 1006);
        WaitUntil([&] { return WindowText(status).rfind(L"Downloaded ", 0) == 0; });
        WaitUntil([&] { return ::SendMessageW(::GetDlgItem(road.dialog, 1002), PBM_GETPOS, 0, 0) >= 30; });
        wprintf(L"  button: \"%ls\"; progress: %ls, bar at %d\n", WindowText(::GetDlgItem(road.dialog, 1005)).c_str(),
                WindowText(status).c_str(),
                static_cast<int>(::SendMessageW(::GetDlgItem(road.dialog, 1002), PBM_GETPOS, 0, 0)));
        Screenshot(road.dialog, shots.downloading);
    }

    HWND box = nullptr;
    if (!WaitUntil([&] { return (box = FindVisibleDialog(road.process->id(), true)) != nullptr; }, 60s))
    {
        wprintf(L"  no ready box\n");
        return false;
    }
    wprintf(L"  the download is complete; bar at %d\n",
            static_cast<int>(::SendMessageW(::GetDlgItem(road.dialog, 1002), PBM_GETPOS, 0, 0)));
    AnswerBox(box, shots.ready);
    const DWORD code = road.process->Wait();
    wprintf(L"  QuillfeedUpdater.exe ended with exit code %lu\n", code);

    const bool readerClosed = reader->Wait() != STILL_ACTIVE;
    wprintf(L"  the reader stand-in %ls\n", readerClosed ? L"received WM_CLOSE and closed" : L"is still open!");

    HWND installerBox = nullptr;
    WaitUntil([&] { return (installerBox = ::FindWindowW(nullptr, L"Quillfeed Setup (stand-in)")) != nullptr; });
    if (installerBox)
    {
        DWORD pid = 0;
        ::GetWindowThreadProcessId(installerBox, &pid);
        const HWND box = FindVisibleDialog(pid, true);
        AnswerBox(box ? box : installerBox, shots.installer);
    }
    return code == 1 && readerClosed;
}

// The signed build against a package changed by one byte after it was
// signed: the failure box, no package left, the reader still open.
bool TamperedRoad()
{
    const auto reader = StartReader();
    if (!reader)
        return false;
    wprintf(L"Starting the signed QuillfeedUpdater.exe and pressing \"Download & Upgrade\"\n");
    Updater road;
    if (!StartUpdater(road, g_outDir, kSignedHttps))
    {
        wprintf(L"  the update dialog did not appear\n");
        return false;
    }
    ::SendMessageW(::GetDlgItem(road.dialog, 1007), BM_CLICK, 0, 0);
    ::PostMessageW(::GetDlgItem(road.dialog, 1005), BM_CLICK, 0, 0);
    HWND box = nullptr;
    if (!WaitUntil([&] { return (box = FindVisibleDialog(road.process->id(), true)) != nullptr; }, 60s))
    {
        wprintf(L"  no failure box\n");
        return false;
    }
    const std::wstring text = WindowText(::GetDlgItem(box, 0xFFFF));
    AnswerBox(box, L"8-tampered-package-refused");
    const bool packageLeft = PackageLeft();
    wprintf(L"  the package %ls\n", packageLeft ? L"is still in the temporary folder!" : L"was deleted");
    const bool readerOpen = reader->Wait(2s) == STILL_ACTIVE;
    wprintf(L"  the reader stand-in %ls\n", readerOpen ? L"is still open: it was not asked to close" : L"closed!");
    wprintf(L"Pressing Close\n");
    ::PostMessageW(::GetDlgItem(road.dialog, IDCANCEL), BM_CLICK, 0, 0);
    const DWORD code = road.process->Wait();
    wprintf(L"  QuillfeedUpdater.exe ended with exit code %lu\n", code);
    ::PostMessageW(::FindWindowW(kReaderWindowClass, nullptr), WM_CLOSE, 0, 0);
    reader->Wait();
    return text.rfind(L"Download failed.  Error = 0xA1000007", 0) == 0 && !packageLeft && readerOpen && code == 2;
}

// The signed build offered a validly signed manifest of release 9 by a
// user who accepted release 10: no What's New text, and the download fails
// at once with the rollback's code.
bool RollbackRoad(qftest::Publisher& publisher)
{
    const std::wstring signedPackage = ModuleFolder() + L"\\signed-package\\";
    DWORD nAccepted = 10;
    ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Quillfeed\\Update", L"AcceptedRelease", REG_DWORD, &nAccepted,
                      sizeof(nAccepted));
    wprintf(L"This user accepted release 10 (HKCU\\Software\\Quillfeed\\Update, AcceptedRelease); the publisher\n"
            L"now serves the validly signed manifest of release 9\n");
    publisher.SetContent("/dist/release.manifest", ReadFileBytes(signedPackage + L"older.manifest"));
    publisher.SetContent("/dist/release.manifest.sig", ReadFileBytes(signedPackage + L"older.manifest.sig"));
    wprintf(L"Starting the signed QuillfeedUpdater.exe and pressing \"Download & Upgrade\"\n");
    Updater road;
    if (!StartUpdater(road, g_outDir, kSignedHttps))
        return false;
    const std::wstring whatsNew = WindowText(::GetDlgItem(road.dialog, 1000));
    wprintf(L"  What's New: %ls\n", whatsNew.c_str());
    const int nRequests = publisher.RequestCount("/dist/QuillfeedSetup.exe");
    ::PostMessageW(::GetDlgItem(road.dialog, 1005), BM_CLICK, 0, 0);
    HWND box = nullptr;
    WaitUntil([&] { return (box = FindVisibleDialog(road.process->id(), true)) != nullptr; }, 60s);
    const std::wstring text = box ? WindowText(::GetDlgItem(box, 0xFFFF)) : L"";
    if (box)
        AnswerBox(box, L"13-rollback-refused");
    const bool nothingFetched = publisher.RequestCount("/dist/QuillfeedSetup.exe") == nRequests;
    wprintf(L"  package requests: %ls\n", nothingFetched ? L"none" : L"one was made!");
    ::PostMessageW(::GetDlgItem(road.dialog, IDCANCEL), BM_CLICK, 0, 0);
    road.process->Wait();
    ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillfeed\\Update");
    publisher.SetContent("/dist/release.manifest", ReadFileBytes(signedPackage + L"release.manifest"));
    publisher.SetContent("/dist/release.manifest.sig", ReadFileBytes(signedPackage + L"release.manifest.sig"));
    return whatsNew == L"Failed to reterieve What's New infomation" && nothingFetched &&
           text.rfind(L"Download failed.  Error = 0xA1000005", 0) == 0;
}

// The box the update program shows next, within the time given; its text
// read aloud and its picture taken, OK pressed.
std::wstring NextBox(const Updater& u, std::chrono::milliseconds within, const wchar_t* screenshot)
{
    HWND box = nullptr;
    if (!WaitUntil([&] { return (box = FindVisibleDialog(u.process->id(), true)) != nullptr; }, within))
        return L"";
    const std::wstring text = WindowText(::GetDlgItem(box, 0xFFFF));
    AnswerBox(box, screenshot);
    return text;
}

// What a misbehaving publisher cannot do: hold the user with a stall (the
// download's or the What's New text's), or move an https:// download to
// plain http.
bool GuardsRoad(qftest::Publisher& publisher)
{
    const char* const kPackage = kSetupPackagePathA;
    publisher.SetContent(kPackage, std::string(1024 * 1024, 's'));
    publisher.SetStall(kPackage, 64 * 1024, INFINITE);
    wprintf(L"The package stalls after 64 KB and never goes on; pressing \"Download & Upgrade\", then \"Stop "
            L"Download\"\n");
    Updater u;
    if (!StartUpdater(u, g_outDir))
        return false;
    ::SendMessageW(::GetDlgItem(u.dialog, 1007), BM_CLICK, 0, 0);
    ::PostMessageW(::GetDlgItem(u.dialog, 1005), BM_CLICK, 0, 0);
    WaitUntil([&] { return publisher.StallsReached(kPackage) > 0; });
    const DWORD stopped = ::GetTickCount();
    ::PostMessageW(::GetDlgItem(u.dialog, 1005), BM_CLICK, 0, 0);
    const std::wstring stopText = NextBox(u, 10s, L"9-stalled-download-stopped");
    wprintf(L"  the failure box came %lu ms after the stop (the stop waits 5000 ms at most); button: \"%ls\"\n",
            ::GetTickCount() - stopped, WindowText(::GetDlgItem(u.dialog, 1005)).c_str());
    ::PostMessageW(::GetDlgItem(u.dialog, IDCANCEL), BM_CLICK, 0, 0);
    const DWORD stopCode = u.process->Wait();
    wprintf(L"  Close: exit code %lu; package left in the temporary folder: %ls\n", stopCode,
            PackageLeft() ? L"yes!" : L"none");
    publisher.ResetBehaviour(kPackage);

    wprintf(L"What's New: the publisher reads the request and never answers\n");
    qftest::PathBehaviour silent;
    silent.nSilentMs = INFINITE;
    publisher.SetBehaviour(kWhatsNewTextPathA, silent);
    const auto started = std::chrono::steady_clock::now();
    Updater quiet;
    const bool shown = StartUpdater(quiet, g_outDir);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    const std::wstring quietText = shown ? WindowText(::GetDlgItem(quiet.dialog, 1000)) : L"";
    wprintf(L"  the dialog showed %lld ms after the start (the fetch's deadline is 10 s): \"%ls\"\n",
            static_cast<long long>(waited.count()), quietText.c_str());
    if (shown)
    {
        Screenshot(quiet.dialog, L"10-silent-publisher");
        ::PostMessageW(::GetDlgItem(quiet.dialog, IDCANCEL), BM_CLICK, 0, 0);
        quiet.process->Wait();
    }
    publisher.ResetBehaviour(kWhatsNewTextPathA);

    wprintf(L"The https:// publisher redirects the package to plain http\n");
    publisher.SetRedirect(kPackage,
                          "http://127.0.0.1:" + std::to_string(publisher.port()) + "/moved/" + kSetupPackageNameA);
    Updater https;
    if (!StartUpdater(https, g_outDir, kSignedHttps))
        return false;
    ::SendMessageW(::GetDlgItem(https.dialog, 1007), BM_CLICK, 0, 0);
    ::PostMessageW(::GetDlgItem(https.dialog, 1005), BM_CLICK, 0, 0);
    const std::wstring redirectText = NextBox(https, 60s, L"11-redirect-to-http-refused");
    ::PostMessageW(::GetDlgItem(https.dialog, IDCANCEL), BM_CLICK, 0, 0);
    https.process->Wait();
    publisher.ResetBehaviour(kPackage);
    return stopText.rfind(L"Download failed.  Error = 0x80004004", 0) == 0 && stopCode == 2 &&
           quietText == kWhatsNewFailedText && redirectText.rfind(L"Download failed.  Error = 0x80072F08", 0) == 0;
}

// The first dialog again on a display of 144 DPI (150 %). The program
// declares itself aware of the system's DPI, so it lays the dialog out at
// that size and draws it sharp. A program reads the DPI when it starts: the
// setting is put back as soon as the dialog is up.
bool HighDpiDialog(SIZE at96)
{
    wprintf(L"\nThe update dialog at 144 DPI (150 %%)\n");
    Updater u;
    {
        qfsupport::ScopedRegistryValue dpi(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", DWORD{144});
        if (!dpi.applied() || !StartUpdater(u, g_outDir))
        {
            wprintf(L"  the update dialog did not appear\n");
            return false;
        }
    }
    RECT rc{};
    ::GetWindowRect(u.dialog, &rc);
    const SIZE size{rc.right - rc.left, rc.bottom - rc.top};
    wprintf(L"  the dialog is %ld x %ld pixels, %.2f times its size at 96 DPI (%ld x %ld)\n", size.cx, size.cy,
            static_cast<double>(size.cx) / at96.cx, at96.cx, at96.cy);
    Screenshot(u.dialog, L"12-updater-dialog-144-dpi");
    ::PostMessageW(::GetDlgItem(u.dialog, IDCANCEL), BM_CLICK, 0, 0);
    const DWORD code = u.process->Wait();
    wprintf(L"  Close: exit code %lu\n", code);
    return code == 2 && size.cx * 4 > at96.cx * 5;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
    {
        fwprintf(stderr, L"usage: QuillfeedDemo <output folder>\n");
        return 64;
    }
    g_outDir = argv[1];
    setvbuf(stdout, nullptr, _IONBF, 0);

    // The publisher's server, on loopback, with the sample What's New text.
    const std::wstring content = ModuleFolder() + L"\\publisher-content";
    qftest::Publisher publisher(content);
    wprintf(L"Loopback publisher serving %ls at %ls\n", content.c_str(), publisher.Url().c_str());

    // The user chose the zipped package last time.
    const std::wstring settings = g_outDir + L"\\" + kSettingsFileName;
    ::WritePrivateProfileStringW(kSettingsSection, kPackagingKey, L"1", settings.c_str());
    wprintf(L"Settings file %ls: Packaging=1 (zipped version)\n", settings.c_str());

    wprintf(L"Starting QuillfeedUpdater.exe\n");
    Updater u;
    if (!StartUpdater(u, g_outDir))
    {
        wprintf(L"  the update dialog did not appear\n");
        return 1;
    }
    wprintf(L"  the dialog is shown; it fetched %ls %d time(s)\n", kWhatsNewTextPath,
            publisher.RequestCount(kWhatsNewTextPathA));
    const bool zipped = ::SendMessageW(::GetDlgItem(u.dialog, 1008), BM_GETCHECK, 0, 0) == BST_CHECKED;
    wprintf(L"  saved choice checked: %ls\n", zipped ? L"Zipped version" : L"(not the zipped version!)");
    Screenshot(u.dialog, L"1-updater-dialog");
    RECT rcAt96{};
    ::GetWindowRect(u.dialog, &rcAt96);

    wprintf(L"Pressing Close\n");
    ::PostMessageW(::GetDlgItem(u.dialog, IDCANCEL), BM_CLICK, 0, 0);
    DWORD code = u.process->Wait();
    wprintf(L"  QuillfeedUpdater.exe ended with exit code %lu\n", code);
    if (code != 2)
        return 1;

    // The whole road: the installer stand-in is the package, sent at 1 MB/s
    // so the progress shows.
    wprintf(L"\nThe whole update road\n");
    std::string package = ReadFileBytes(ModuleFolder() + L"\\InstallerStandIn.exe");
    package.resize(3 * 1024 * 1024, '\0');
    publisher.SetContent(kSetupPackagePathA, package);
    publisher.SetRate(kSetupPackagePathA, 1024 * 1024);
    // The stand-ins write down what reaches them in the output folder; the
    // installer stand-in also shows a box saying where it ran from.
    ::SetEnvironmentVariableW(L"QF_STANDIN_RECORD", g_outDir.c_str());
    ::SetEnvironmentVariableW(L"QF_STANDIN_SHOW", L"1");
    const bool roadOk = HandOffRoad(kShipped, {L"2-reader-stand-in", L"3-downloading", L"4-download-ready",
                                               L"5-installer-stand-in"}) &&
                        ReadRecord(L"installer.txt").find("ran ") != std::string::npos &&
                        ReadRecord(L"reader.txt").find("WM_CLOSE") != std::string::npos;
    wprintf(L"Records of the stand-ins:\n");
    wprintf(L"  reader.txt:\n%hs", ReadRecord(L"reader.txt").c_str());
    wprintf(L"  installer.txt:\n%hs", ReadRecord(L"installer.txt").c_str());
    wprintf(L"%ls\n",
            roadOk ? L"The update road ended with exit code 1: the reader was asked to close and the installer ran."
                   : L"The update road did NOT complete as it should.");

    // The same road from an https:// publisher (the TLS front before this
    // publisher) with a signed release manifest, and then with a package changed
    // after it was signed.
    wprintf(L"\nThe same road over HTTPS with a signed release manifest, by the update program built for\n"
            L"https://localhost with the publisher's key (variants\\signed)\n");
    const std::wstring signedFolder = ModuleFolder() + L"\\signed-package\\";
    const std::string signedPackage = ReadFileBytes(signedFolder + kSetupPackageName);
    publisher.ResetBehaviour(kSetupPackagePathA);
    publisher.SetContent(kSetupPackagePathA, signedPackage);
    // The release's signed manifest, which lists the package's size and
    // SHA-256, and the What's New text it lists.
    publisher.SetContent("/dist/release.manifest", ReadFileBytes(signedFolder + L"release.manifest"));
    publisher.SetContent("/dist/release.manifest.sig", ReadFileBytes(signedFolder + L"release.manifest.sig"));
    publisher.SetContent(kWhatsNewTextPathA, ReadFileBytes(signedFolder + L"whatsnew.txt"));
    ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillfeed\\Update");
    const size_t nRequests = publisher.Requests().size();
    const bool signedOk = HandOffRoad(kSignedHttps,
                                      {nullptr, nullptr, L"6-signed-package-ready", L"7-installer-stand-in"}) &&
                          publisher.RequestCount("/dist/release.manifest") == 1;
    wprintf(L"  requests that reached the publisher through the TLS front:\n");
    const std::vector<std::string> requests = publisher.Requests();
    for (size_t i = nRequests; i < requests.size(); ++i)
        wprintf(L"    %hs\n", requests[i].c_str());
    wprintf(L"%ls\n", signedOk ? L"The package matched its signed manifest and was handed off."
                               : L"The signed road did NOT complete as it should.");

    wprintf(L"\nThe package changed by one byte after its manifest was signed\n");
    std::string tampered = signedPackage;
    tampered[tampered.size() / 2] ^= 0x01;
    publisher.SetContent(kSetupPackagePathA, tampered);
    const bool tamperedOk = TamperedRoad();
    wprintf(L"%ls\n", tamperedOk ? L"The tampered package was refused: nothing was opened."
                                 : L"The tampered package was NOT refused as it should be.");

    wprintf(L"\nA rollback to an older signed release\n");
    const bool rollbackOk = RollbackRoad(publisher);
    wprintf(L"%ls\n", rollbackOk ? L"The older release was refused: nothing was fetched."
                                 : L"The older release was NOT refused as it should be.");

    wprintf(L"\nPublishers that misbehave\n");
    const bool guardsOk = GuardsRoad(publisher);
    wprintf(L"%ls\n", guardsOk
                          ? L"The stall was stopped at once, the silent publisher waited out within the deadline,\n"
                            L"and the redirect to plain http refused."
                          : L"A misbehaving publisher was NOT handled as it should be.");

    const bool highDpiOk = HighDpiDialog({rcAt96.right - rcAt96.left, rcAt96.bottom - rcAt96.top});
    return roadOk && signedOk && tamperedOk && rollbackOk && guardsOk && highDpiOk ? 0 : 1;
}
