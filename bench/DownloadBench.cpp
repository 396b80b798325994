// Benchmark of the download, not a test: it never fails on its figures.
//   DownloadBench.exe [size in MB, default 200] [runs, default 3]
// Serves one large package from the loopback publisher and downloads it
//  (a) through the update program, from the click to the ready box, while a
//      prober asks the dialog for an answer (WM_NULL) every 10 ms, and
//  (b) with a bare URLDownloadToFileW without a callback, while the same
//      prober asks a plain dialog of this process: the control that says how
//      long any dialog waits on this machine at that moment,
// alternately, several times each. Then the same job class in-process counts
// the progress callbacks and the progress commands posted and handled, and
// the signature check of a signed build (fetching the .sig, hashing the file,
// verifying) is timed against the bare download of the same package.
#include "Publisher.h"

#include <bcrypt.h>
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
#include "DownloadStatusCallBack.h"
#include "Files.h"
#include "PackageSignature.h"
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
              HWND hDialog = ::CreateDialogIndirectParamW(nullptr, dlg, nullptr,
                  [](HWND, UINT, WPARAM, LPARAM) CALLBACK -> INT_PTR { return FALSE; }, 0);
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

UpdaterRun RunUpdater(const std::wstring& scratch)
{
    UpdaterRun result;
    qfsupport::LaunchOptions options;
    options.currentDirectory = scratch;
    options.environment = {L"TMP=" + scratch, L"TEMP=" + scratch};
    qfsupport::Process updater(qfsupport::ModuleFolder() + L"\\..\\dist\\QuillfeedUpdater.exe", options);
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
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
    updater.Wait(std::chrono::minutes(1));  // one still running then is ended with the object
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
class CountingJob : public CDownloadStatusCallBack
{
public:
    STDMETHODIMP OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode, LPCWSTR szStatusText) override
    {
        ++m_nCallbacks;
        return CDownloadStatusCallBack::OnProgress(ulProgress, ulProgressMax, ulStatusCode, szStatusText);
    }
    std::atomic<long> m_nCallbacks{0};
};

void CountCommands(const std::wstring& url, const std::wstring& scratch)
{
    ::SetEnvironmentVariableW(L"TMP", scratch.c_str());
    ::SetEnvironmentVariableW(L"TEMP", scratch.c_str());
    HWND sink = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    CountingJob job;
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
    std::printf("  progress callbacks %ld, progress commands posted %ld, handled %ld, outcome %s\n",
                job.m_nCallbacks.load(), job.ProgressCommandsPosted(), job.ProgressCommandsTaken(),
                outcome == ID_DOWNLOAD_READY ? "READY" : "FAILED");
    ::DeleteFileW((scratch + L"\\" + kSetupPackageName).c_str());
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One number of an ECDSA signature as a DER INTEGER: minimal, positive.
std::string DerInteger(const unsigned char* p, size_t n)
{
    while (n > 1 && *p == 0)
        ++p, --n;
    std::string content(reinterpret_cast<const char*>(p), n);
    if (*p & 0x80)
        content.insert(content.begin(), '\0');
    return std::string("\x02", 1) + static_cast<char>(content.size()) + content;
}

// A key pair of this run signs the package as the publisher would; the
// public half is what a signed build carries.
bool SignPackage(const std::string& package, unsigned char (&publicKey)[64], std::string& der)
{
    unique_bcrypt_algorithm sha, ecdsa;
    unique_bcrypt_hash hash;
    unique_bcrypt_key key;
    unsigned char digest[32], signature[64];
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    ULONG n = 0;
    if (::BCryptOpenAlgorithmProvider(sha.addressof(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
        ::BCryptCreateHash(sha.get(), hash.addressof(), nullptr, 0, nullptr, 0, 0) != 0 ||
        ::BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(package.data())),
                         static_cast<ULONG>(package.size()), 0) != 0 ||
        ::BCryptFinishHash(hash.get(), digest, 32, 0) != 0 ||
        ::BCryptOpenAlgorithmProvider(ecdsa.addressof(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0 ||
        ::BCryptGenerateKeyPair(ecdsa.get(), key.addressof(), 256, 0) != 0 ||
        ::BCryptFinalizeKeyPair(key.get(), 0) != 0 ||
        ::BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof(blob), &n, 0) != 0 ||
        ::BCryptSignHash(key.get(), nullptr, digest, 32, signature, 64, &n, 0) != 0)
        return false;
    std::memcpy(publicKey, blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    const std::string numbers = DerInteger(signature, 32) + DerInteger(signature + 32, 32);
    der = std::string("\x30", 1) + static_cast<char>(numbers.size()) + numbers;
    return true;
}

// The signature check that a signed build adds after the transfer, against
// the bare transfer of the same package.
void MeasureSignatureCheck(qftest::Publisher& publisher, const std::string& package, const std::wstring& url,
                           const std::wstring& scratch, int runs)
{
    unsigned char publicKey[64];
    std::string der;
    if (!SignPackage(package, publicKey, der))
    {
        std::printf("  the package could not be signed with CNG here\n");
        return;
    }
    publisher.SetContent(std::string(kPackage) + ".sig", der);
    const std::wstring target = scratch + L"\\signed.bin";
    const std::atomic<bool> bStop{false};
    std::vector<double> download, check;
    for (int i = 0; i < runs; ++i)
    {
        auto start = Clock::now();
        if (::URLDownloadToFileW(nullptr, url.c_str(), target.c_str(), 0, nullptr) != S_OK)
            continue;
        download.push_back(Ms(Clock::now() - start));
        start = Clock::now();
        HRESULT hr;
        {
            const unique_hfile file(::CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            CRunningBinding binding;
            hr = VerifyPackageSignature(publicKey, url, file.get(), bStop, binding);
        }
        check.push_back(Ms(Clock::now() - start));
        ::DeleteFileW(target.c_str());
        std::printf("  run %d: bare download %.0f ms, signature check %.0f ms (%s)\n", i + 1, download.back(),
                    check.back(), hr == S_OK ? "valid" : "NOT VALID");
    }
    std::printf("  median signature check %.0f ms, bare download %.0f ms, ratio check/download %.3f\n", Median(check),
                Median(download), Median(download) > 0 ? Median(check) / Median(download) : 0.0);
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

    std::printf("Download benchmark: %zu MB package, %d runs of each, loopback publisher, %s programs\n", sizeMb, runs,
                sizeof(void*) == 4 ? "32-bit (x86)" : "64-bit (x64)");
    for (size_t mb : {sizeMb / 4, sizeMb})
    {
        if (mb == 0)
            continue;
        publisher.SetContent(kPackage, std::string(mb * 1024 * 1024, 'q'));
        std::vector<double> a, b, updaterAnswers, plainAnswers;
        SIZE_T peak = 0;
        const int n = mb == sizeMb ? runs : 1;
        std::printf("\n%zu MB:\n", mb);
        for (int i = 0; i < n; ++i)
        {
            const UpdaterRun r = RunUpdater(scratch);
            const BareRun bare = RunBare(url, scratch, plain.get());
            std::printf("  run %d: (a) update program %.0f ms, longest answer %.1f ms over %zu probes, peak private %.1f MB;"
                        " (b) bare download %.0f ms, plain dialog's longest answer %.1f ms over %zu probes\n",
                        i + 1, r.ms, Longest(r.answersMs), r.answersMs.size(), r.peakPrivate / 1048576.0, bare.ms,
                        Longest(bare.answersMs), bare.answersMs.size());
            a.push_back(r.ms);
            b.push_back(bare.ms);
            updaterAnswers.insert(updaterAnswers.end(), r.answersMs.begin(), r.answersMs.end());
            plainAnswers.insert(plainAnswers.end(), bare.answersMs.begin(), bare.answersMs.end());
            peak = std::max(peak, r.peakPrivate);
        }
        std::printf("  median (a) %.0f ms, (b) %.0f ms, ratio (a)/(b) %.3f (target at most 1.05)\n", Median(a), Median(b),
                    Median(b) > 0 ? Median(a) / Median(b) : 0.0);
        std::printf("  dialog answer, longest / 99th percentile: update program's dialog %.1f / %.1f ms (target under"
                    " 100 ms), plain dialog during the bare download %.1f / %.1f ms (the machine's share)\n",
                    Longest(updaterAnswers), Percentile(updaterAnswers, 0.99), Longest(plainAnswers),
                    Percentile(plainAnswers, 0.99));
        std::printf("  peak private memory %.1f MB\n", peak / 1048576.0);
    }

    std::printf("\nProgress commands, the same job in-process, %zu MB:\n", sizeMb);
    CountCommands(url, scratch);

    std::printf("\nSignature check of a signed build (fetch of the .sig, SHA-256 of the file, ECDSA P-256), %zu MB:\n",
                sizeMb);
    MeasureSignatureCheck(publisher, std::string(sizeMb * 1024 * 1024, 'q'), url, scratch, runs);

    return 0;
}
