// Benchmark of the What's New text, not a test: it never fails on its figures.
//   WhatsNewBench.exe [runs, default 3]
// Serves What's New bodies of different shapes from the loopback publisher and
// starts the update program on each, measuring the time from its start to its
// dialog being visible (the fetch and the text in the box come first), against
// the same time with an empty What's New, in alternation.
#include "Publisher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Files.h"
#include "UpdaterNames.h"
#include "WindowSearch.h"

namespace
{
using Clock = std::chrono::steady_clock;

// Milliseconds from the start of the update program to its visible dialog,
// and the length of the text its box then holds; -1 when it never showed.
double StartToDialog(const std::wstring& scratch, int& nShown)
{
    qfsupport::LaunchOptions options;
    options.currentDirectory = scratch;
    const auto start = Clock::now();
    qfsupport::Process updater(qfsupport::ModuleFolder() + L"\\..\\dist\\QuillfeedUpdater.exe", options);
    HWND dialog = nullptr;
    double ms = -1;
    if (updater.started() &&
        qfsupport::WaitUntil([&] { return (dialog = qfsupport::FindVisibleDialog(updater.id(), false)) != nullptr; },
                             std::chrono::minutes(3), std::chrono::milliseconds(2)))
        ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    nShown = dialog ? static_cast<int>(::SendMessageW(::GetDlgItem(dialog, 1000), WM_GETTEXTLENGTH, 0, 0)) : -1;
    if (dialog)
        ::PostMessageW(::GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    updater.Wait(std::chrono::minutes(1)); // one still running then is ended with the object
    return ms;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string Lines(size_t nBytes, size_t nLineLength)
{
    std::string text;
    while (text.size() < nBytes)
        text += std::string(std::min(nLineLength, nBytes - text.size()), 'w').append("\r\n");
    text.resize(nBytes);
    return text;
}

std::string RandomPrintable(size_t nBytes)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> printable(0x20, 0x7E);
    std::string text(nBytes, ' ');
    for (char& ch : text)
        ch = static_cast<char>(printable(random));
    return text;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 3;
    const qfsupport::ScratchDir scratchDir(L"qfbench");
    const std::wstring& scratch = scratchDir.path();

    std::string nulSecond(5 << 20, 'z');
    nulSecond[1] = '\0';
    struct Shape
    {
        const char* name;
        std::string body;
        qftest::PathBehaviour behaviour{};
    };
    const auto behaving = [](auto set) {
        qftest::PathBehaviour behaviour;
        set(behaviour);
        return behaviour;
    };
    const Shape shapes[] = {
        {"realistic: 32 KB of lines of 60", Lines(32 << 10, 60)},
        {"5 MB, its second byte NUL", nulSecond},
        {"one line of 16,000 characters", std::string(16000, 'w')},
        {"one line of 64,000 characters", std::string(64000, 'w')},
        {"one line of 200,000 characters", std::string(200000, 'w')},
        {"5 MB of short lines", Lines(5 << 20, 40)},
        {"5 MB of random printable text", RandomPrintable(5 << 20)},
        {"64 KB of random printable text", RandomPrintable(64 << 10)},
        // At the bounds: the longest line shown whole, the most text read.
        {"one line of 4,096 characters", std::string(4096, 'w')},
        {"64 KB of lines of 4,094 characters", Lines(64 << 10, 4094)},
        {"64 KB of random printable lines",
         [] {
             std::string text = RandomPrintable(64 << 10);
             for (size_t i = 4094; i < text.size(); i += 4096)
                 text.replace(i, 2, "\r\n");
             return text;
         }()},
        // Publishers that never finish: the deadline (10 s) or the bound ends the wait.
        {"a byte a second", std::string(100, 't'), behaving([](qftest::PathBehaviour& b) { b.nBytesPerSecond = 1; })},
        {"the head, then silence", "x", behaving([](qftest::PathBehaviour& b) { b.nStallMs = INFINITE; })},
        {"the request read, then silence", "x", behaving([](qftest::PathBehaviour& b) { b.nSilentMs = INFINITE; })},
        {"a body without end", "endless\n", behaving([](qftest::PathBehaviour& b) { b.bEndless = true; })},
        {"a body without end, at 256 KB/s", "endless\n", behaving([](qftest::PathBehaviour& b) {
             b.bEndless = true;
             b.nBytesPerSecond = 256 * 1024;
         })},
    };

    qftest::Publisher publisher;
    std::printf("What's New: start to visible dialog, median of %d runs, %s programs\n\n", runs,
                sizeof(void*) == 4 ? "32-bit (x86)" : "64-bit (x64)");
    std::printf("%-36s %10s %10s %9s %7s %12s\n", "body", "empty ms", "shape ms", "extra ms", "ratio", "chars shown");
    for (const Shape& shape : shapes)
    {
        std::vector<double> empty, shaped;
        int nShown = 0;
        for (int i = 0; i < runs; ++i)
        {
            int nEmpty = 0;
            publisher.ResetBehaviour(kWhatsNewTextPathA);
            publisher.SetContent(kWhatsNewTextPathA, "");
            empty.push_back(StartToDialog(scratch, nEmpty));
            publisher.SetContent(kWhatsNewTextPathA, shape.body);
            publisher.SetBehaviour(kWhatsNewTextPathA, shape.behaviour);
            shaped.push_back(StartToDialog(scratch, nShown));
        }
        const double e = Median(empty), s = Median(shaped);
        std::printf("%-36s %10.0f %10.0f %9.0f %7.2f %12d\n", shape.name, e, s, s - e, e > 0 ? s / e : 0.0, nShown);
    }
    std::printf("\nextra ms and ratio: the shape's time against the empty text's (target: within about a second\n"
                "of it; for the publishers that never finish, within about a second of the 10 s deadline; for\n"
                "the endless body, which the 64 KB bound ends, within the deadline). The text is read no\n"
                "further than 64 KB and ends in the first line over 4,096 characters.\n");
    return 0;
}
