// Benchmark of the download, not a test: it never fails on its figures.
//   DownloadBench.exe [size in MB, default 200] [runs, default 3]
// Serves one large package from the loopback publisher and downloads it
//  (a) through the update program, from the click to the ready box, while a
//      prober asks the dialog for an answer (WM_NULL) every 10 ms, and
//  (b) with a bare URLDownloadToFileW without a callback, while the same
//      prober asks a plain dialog of this process: the control that says how
//      long any dialog waits on this machine at that moment,
// alternately, several times each. Then the update program again with the
// connection dropped once halfway: the time it takes to recover (the pause
// before the next try, and the rest of the transfer, asked for as a range)
// beside the time of the whole download without the drop. Then the same job
// class in-process counts the progress reports and the progress commands
// posted and handled. Last, when bench/download.sh has left a package and a
// release manifest signed with the test key that lists it in bench-signed/
// beside bin/, the signed build
// (variants/signed, https) from the click to the ready box against the bare
// download of that package through the same TLS front.
#include "Publisher.h"

#include <psapi.h>
#include <urlmon.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "DownloadJob.h"
#include "Files.h"
#include "WindowSearch.h"
#include "UpdaterNames.h"
#include "resource.h"

namespace
{
using Clock = std::chrono::steady_clock;
const char* const kPackage = kSetupPackagePathA;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Polls often: the times measured end when a condition is seen.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::minutes(5))
{
    return qfsupport::WaitUntil(condition, timeout, std::chrono::milliseconds(2));
}

// Asks a dialog for an answer (WM_NULL) every 10 ms on a thread of its own
// and keeps how long each answer took.
class AnswerProber
{
public:
    explicit AnswerProber(HWND hDialog)
        : m_thread([this, hDialog] {
              while (!m_bDone)
              {
                  const auto t = Clock::now();
                  DWORD_PTR r = 0;
                  ::SendMessageTimeoutW(hDialog, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &r);
                  m_answersMs.push_back(Ms(Clock::now() - t));
                  ::Sleep(10);
              }
          })
    {
    }
    std::vector<double> Stop()
    {
        m_bDone = true;
        m_thread.join();
        return std::move(m_answersMs);
    }

private:
    std::atomic<bool> m_bDone{false};
    std::vector<double> m_answersMs;
    std::thread m_thread;
};

// A dialog with nothing to do, on a thread of its own with its own loop: what
// the prober measures there is the machine's share of any answer time.
class PlainDialog
{
public:
    PlainDialog()
        : m_thread([this] {
              // One empty, visible dialog of 100 x 50 dialog units.
              alignas(4) WORD tmpl[16] = {};
              auto* dlg = reinterpret_cast<DLGTEMPLATE*>(tmpl);
              dlg->style = WS_POPUP | WS_CAPTION | WS_VISIBLE;
              dlg->cx = 100;
              dlg->cy = 50;
              HWND hDialog = ::CreateDialogIndirectParamW(
                  nullptr, dlg, nullptr, [](HWND, UINT, WPARAM, LPARAM) CALLBACK -> INT_PTR { return FALSE; }, 0);
              m_nThreadId = ::GetCurrentThreadId();
              m_hDialog = hDialog;
              MSG msg;
              while (::GetMessageW(&msg, nullptr, 0, 0) > 0)
                  ::DispatchMessageW(&msg);
              ::DestroyWindow(hDialog);
          })
    {
        WaitFor([&] { return m_hDialog.load() != nullptr; }, std::chrono::seconds(30));
    }
    ~PlainDialog()
    {
        ::PostThreadMessageW(m_nThreadId, WM_QUIT, 0, 0);
        m_thread.join();
    }
    HWND get() const { return m_hDialog; }

private:
    std::atomic<HWND> m_hDialog{nullptr};
    DWORD m_nThreadId = 0;
    std::thread m_thread;
};

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

double Longest(const std::vector<double>& v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

struct UpdaterRun
{
    double ms = -1;
    std::vector<double> answersMs;
    SIZE_T peakPrivate = 0;
};

struct BareRun
{
    double ms = -1;
    std::vector<double> answersMs;
};

UpdaterRun RunUpdater(const std::wstring& scratch, const wchar_t* pszProgram = L"dist")
{
    UpdaterRun result;
    qfsupport::LaunchOptions options;
    options.currentDirectory = scratch;
    options.environment = {L"TMP=" + scratch, L"TEMP=" + scratch};
    qfsupport::Process updater(qfsupport::ModuleFolder() + L"\\..\\" + pszProgram + L"\\QuillfeedUpdater.exe",
                               options);
    if (!updater.started())
        return result;
    HWND dialog = nullptr;
    WaitFor([&] { return (dialog = qfsupport::FindVisibleDialog(updater.id(), false)) != nullptr; });

    AnswerProber prober(dialog);
    const auto start = Clock::now();
    ::PostMessageW(::GetDlgItem(dialog, 1005), BM_CLICK, 0, 0);
    HWND box = nullptr;
    if (WaitFor([&] { return (box = qfsupport::FindVisibleDialog(updater.id(), true)) != nullptr; }))
        result.ms = Ms(Clock::now() - start);
    result.answersMs = prober.Stop();

    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof(pmc);
    if (::GetProcessMemoryInfo(updater.handle(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof(pmc)))
        result.peakPrivate = pmc.PeakPagefileUsage;

    if (box)
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
    updater.Wait(std::chrono::minutes(1)); // one still running then is ended with the object
    return result;
}

BareRun RunBare(const std::wstring& url, const std::wstring& scratch, HWND hPlainDialog)
{
    BareRun result;
    const std::wstring target = scratch + L"\\bare.bin";
    AnswerProber prober(hPlainDialog);
    const auto start = Clock::now();
    const HRESULT hr = ::URLDownloadToFileW(nullptr, url.c_str(), target.c_str(), 0, nullptr);
    if (hr == S_OK)
        result.ms = Ms(Clock::now() - start);
    result.answersMs = prober.Stop();
    ::DeleteFileW(target.c_str());
    return result;
}

// The job class in this process, its commands handled by a window of this
// thread the way the dialog handles them.
void CountCommands(const std::wstring& url, const std::wstring& scratch)
{
    ::SetEnvironmentVariableW(L"TMP", scratch.c_str());
    ::SetEnvironmentVariableW(L"TEMP", scratch.c_str());
    HWND sink = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    CDownloadJob job;
    job.StartRun(url, sink);
    bool ended = false;
    UINT outcome = 0;
    MSG msg;
    while (!ended && ::GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (msg.hwnd == sink && msg.message == WM_COMMAND)
        {
            const UINT id = LOWORD(msg.wParam);
            DownloadProgress progress;
            if (id == ID_DOWNLOAD_PROGRESS)
                job.TakeProgress(HIWORD(msg.wParam), progress);
            else
                ended = true, outcome = id;
            continue;
        }
        ::DispatchMessageW(&msg);
    }
    job.WaitForWorker(60000);
    ::DestroyWindow(sink);
    std::printf("  progress reports %ld, progress commands posted %ld, handled %ld, outcome %s\n",
                job.Progress().Reports(), job.Progress().Posted(), job.Progress().Taken(),
                outcome == ID_DOWNLOAD_READY ? "READY" : "FAILED");
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The update program with the connection dropped once halfway, against the
// same program's whole download (the median of (a) above).
void MeasureResume(qftest::Publisher& publisher, size_t nSize, const std::wstring& scratch, int runs, double wholeMs)
{
    std::vector<double> resumed;
    for (int i = 0; i < runs; ++i)
    {
        publisher.SetDropAfter(kPackage, nSize / 2, 1);
        const UpdaterRun r = RunUpdater(scratch);
        std::printf("  run %d: click to ready %.0f ms, ranges asked for %zu\n", i + 1, r.ms,
                    publisher.RangesAsked(kPackage).size());
        if (r.ms > 0)
            resumed.push_back(r.ms);
    }
    publisher.ResetBehaviour(kPackage);
    std::printf("  median %.0f ms against %.0f ms without the drop: %.0f ms to recover (a pause of 1000 ms among"
                " them), ratio %.3f\n",
                Median(resumed), wholeMs, Median(resumed) - wholeMs, wholeMs > 0 ? Median(resumed) / wholeMs : 0.0);
}

// The signed build from the click to the ready box, against the bare download
// of the same package through the same TLS front: the cost of checking the
// package against its manifest as it arrives.
void MeasureSignedBuild(qftest::Publisher& publisher, const std::wstring& scratch, int runs)
{
    const std::wstring folder = qfsupport::ModuleFolder() + L"\\..\\bench-signed\\";
    const std::string package = qfsupport::ReadFileBytes(folder + L"QuillfeedSetup.exe");
    const std::string manifest = qfsupport::ReadFileBytes(folder + L"release.manifest");
    const std::string signature = qfsupport::ReadFileBytes(folder + L"release.manifest.sig");
    if (package.empty() || manifest.empty() || signature.empty())
    {
        std::printf("  no signed release in bench-signed/ (bench/download.sh makes it)\n");
        return;
    }
    publisher.SetContent(kPackage, package);
    publisher.SetContent("/dist/release.manifest", manifest);
    publisher.SetContent("/dist/release.manifest.sig", signature);
    publisher.SetContent(kWhatsNewTextPathA, qfsupport::ReadFileBytes(folder + L"whatsnew.txt"));
    const std::wstring url = L"https://localhost:" + std::to_wstring(publisher.port() + 1000) +
                             L"/dist/QuillfeedSetup.exe";
    std::vector<double> a, b;
    for (int i = 0; i < runs; ++i)
    {
        // The prefix is the tests' too: a higher release that a test recorded
        // for this user would refuse the benchmark's release as a rollback.
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quillfeed\\Update");
        const UpdaterRun r = RunUpdater(scratch, L"variants\\signed");
        const BareRun bare = RunBare(url, scratch, nullptr);
        std::printf("  run %d: signed build, click to ready %.0f ms; bare download %.0f ms\n", i + 1, r.ms, bare.ms);
        if (r.ms > 0 && bare.ms > 0)
            a.push_back(r.ms), b.push_back(bare.ms);
    }
    std::printf("  median click to ready %.0f ms, bare download %.0f ms, ratio %.3f (target at most 1.05)\n",
                Median(a), Median(b), Median(b) > 0 ? Median(a) / Median(b) : 0.0);
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const size_t sizeMb = argc > 1 ? wcstoul(argv[1], nullptr, 10) : 200;
    const int runs = argc > 2 ? static_cast<int>(wcstoul(argv[2], nullptr, 10)) : 3;
    const qfsupport::ScratchDir scratchDir(L"qfbench");
    const std::wstring& scratch = scratchDir.path();

    qftest::Publisher publisher;
    const std::wstring url = publisher.Url(kPackage);
    PlainDialog plain;

    std::printf("Download benchmark: %zu MB package, %d runs of each, loopback publisher, %s programs\n", sizeMb,
                runs, sizeof(void*) == 4 ? "32-bit (x86)" : "64-bit (x64)");
    std::vector<double> a, b;
    for (size_t mb : {sizeMb / 4, sizeMb})
    {
        if (mb == 0)
            continue;
        publisher.SetContent(kPackage, std::string(mb * 1024 * 1024, 'q'));
        std::vector<double> updaterAnswers, plainAnswers;
        a.clear();
        b.clear();
        SIZE_T peak = 0;
        const int n = mb == sizeMb ? runs : 1;
        std::printf("\n%zu MB:\n", mb);
        for (int i = 0; i < n; ++i)
        {
            const UpdaterRun r = RunUpdater(scratch);
            const BareRun bare = RunBare(url, scratch, plain.get());
            std::printf(
                "  run %d: (a) update program %.0f ms, longest answer %.1f ms over %zu probes, peak private %.1f MB;"
                " (b) bare download %.0f ms, plain dialog's longest answer %.1f ms over %zu probes\n",
                i + 1, r.ms, Longest(r.answersMs), r.answersMs.size(), r.peakPrivate / 1048576.0, bare.ms,
                Longest(bare.answersMs), bare.answersMs.size());
            a.push_back(r.ms);
            b.push_back(bare.ms);
            updaterAnswers.insert(updaterAnswers.end(), r.answersMs.begin(), r.answersMs.end());
            plainAnswers.insert(plainAnswers.end(), bare.answersMs.begin(), bare.answersMs.end());
            peak = std::max(peak, r.peakPrivate);
        }
        std::printf("  median (a) %.0f ms, (b) %.0f ms, ratio (a)/(b) %.3f (target at most 1.05)\n", Median(a),
                    Median(b), Median(b) > 0 ? Median(a) / Median(b) : 0.0);
        std::printf("  dialog answer, longest / 99th percentile: update program's dialog %.1f / %.1f ms (target under"
                    " 100 ms), plain dialog during the bare download %.1f / %.1f ms (the machine's share)\n",
                    Longest(updaterAnswers), Percentile(updaterAnswers, 0.99), Longest(plainAnswers),
                    Percentile(plainAnswers, 0.99));
        std::printf("  peak private memory %.1f MB\n", peak / 1048576.0);
    }

    std::printf("\nThe connection dropped once at 50 %%, %zu MB:\n", sizeMb);
    MeasureResume(publisher, sizeMb * 1024 * 1024, scratch, runs, Median(a));

    std::printf("\nProgress commands, the same job in-process, %zu MB:\n", sizeMb);
    CountCommands(url, scratch);

    std::printf("\nSigned build over https (the test key), click to ready against the bare download:\n");
    MeasureSignedBuild(publisher, scratch, runs);

    return 0;
}
