// The loopback publisher answers the way the tests of the updater rely on.
#include "Publisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "TestSupport.h"

namespace
{
// One raw request, with the headers given (each ending in CRLF); everything
// the server sent until it closed, or its first nMaxBytes. onData sees the
// reply so far after each piece that arrives.
std::string Fetch(const std::string& path, const std::function<void(const std::string&)>& onData = {},
                  size_t nMaxBytes = SIZE_MAX, const std::string& headers = "")
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(qftest::kPublisherPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0)
    {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
        ::send(s, request.data(), static_cast<int>(request.size()), 0);
        char buffer[4096];
        int got;
        while (reply.size() < nMaxBytes && (got = ::recv(s, buffer, sizeof(buffer), 0)) > 0)
        {
            reply.append(buffer, static_cast<size_t>(got));
            if (onData)
                onData(reply);
        }
    }
    ::closesocket(s);
    return reply;
}

std::string BodyOf(const std::string& reply)
{
    const size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : reply.substr(end + 4);
}
} // namespace

TEST(Publisher, ServesTheContentFolderAndInMemoryBodies)
{
    qftest::ScratchDir dir;
    ::CreateDirectoryW(dir.file(L"dist").c_str(), nullptr);
    qftest::WriteFileBytes(dir.file(L"dist\\Quillfeed.zip"), std::string("PK\x03\x04zip", 7));
    qftest::Publisher publisher(dir.path());
    publisher.SetContent("/whatsnew.txt", "line one\nline two\n");

    const std::string zip = Fetch("/dist/Quillfeed.zip");
    EXPECT_EQ(zip.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << zip;
    EXPECT_NE(zip.find("Content-Length: 7\r\n"), std::string::npos);
    EXPECT_EQ(BodyOf(zip), std::string("PK\x03\x04zip", 7));

    const std::string text = Fetch("/whatsnew.txt?x=1");
    EXPECT_EQ(BodyOf(text), "line one\nline two\n");
    EXPECT_EQ(publisher.RequestCount("/whatsnew.txt"), 1);

    EXPECT_EQ(Fetch("/missing").rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_EQ(Fetch("/../secret").rfind("HTTP/1.1 404 ", 0), 0u);
}

TEST(Publisher, MisbehavesOnRequest)
{
    qftest::Publisher publisher;
    const std::string body(10000, 'x');
    publisher.SetContent("/a", body);

    publisher.SetStatus("/a", 500);
    EXPECT_EQ(Fetch("/a").rfind("HTTP/1.1 500 ", 0), 0u);

    publisher.ResetBehaviour("/a");
    publisher.SetOmitContentLength("/a");
    std::string reply = Fetch("/a");
    EXPECT_EQ(reply.find("Content-Length"), std::string::npos);
    EXPECT_EQ(BodyOf(reply), body);

    publisher.ResetBehaviour("/a");
    publisher.SetDropAfter("/a", 1234);
    reply = Fetch("/a");
    EXPECT_NE(reply.find("Content-Length: 10000\r\n"), std::string::npos);
    EXPECT_EQ(BodyOf(reply), body.substr(0, 1234));

    publisher.ResetBehaviour("/a");
    publisher.SetRate("/a", 40000);
    publisher.SetStall("/a", 5000, 300);
    EXPECT_EQ(BodyOf(Fetch("/a")), body);

    publisher.ResetBehaviour("/a");
    publisher.SetRedirect("/a", "http://127.0.0.1:9/b");
    reply = Fetch("/a");
    EXPECT_EQ(reply.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("\r\nLocation: http://127.0.0.1:9/b\r\n"), std::string::npos) << reply;

    // Sent again and again, with nothing that announces an end.
    publisher.ResetBehaviour("/a");
    qftest::PathBehaviour endless;
    endless.bEndless = true;
    publisher.SetBehaviour("/a", endless);
    reply = Fetch("/a", {}, 5 * body.size());
    EXPECT_EQ(reply.find("Content-Length"), std::string::npos);
    ASSERT_GE(BodyOf(reply).size(), 3 * body.size());
    EXPECT_EQ(BodyOf(reply).substr(0, 3 * body.size()), body + body + body);
}

TEST(Publisher, StoppingCutsAStalledTransferShort)
{
    auto publisher = std::make_unique<qftest::Publisher>();
    publisher->SetContent("/slow", std::string(100, 'y'));
    publisher->SetStall("/slow", 10, 600000);
    std::string reply;
    std::atomic<bool> bStalled{false};
    std::thread client(
        [&] { reply = Fetch("/slow", [&](const std::string& soFar) { bStalled = BodyOf(soFar).size() >= 10; }); });
    // Stopped only once the bytes before the stall have arrived.
    EXPECT_TRUE(qftest::WaitUntil([&] { return bStalled.load(); }));
    publisher.reset(); // would hang for ten minutes if the stall ignored the stop
    client.join();
    EXPECT_EQ(BodyOf(reply), std::string(10, 'y'));

    // A stall without end lasts until it is ended; the answer is then whole.
    publisher = std::make_unique<qftest::Publisher>();
    publisher->SetContent("/held", std::string(100, 'h'));
    publisher->SetStall("/held", 10, INFINITE);
    client = std::thread([&] { reply = Fetch("/held"); });
    EXPECT_TRUE(qftest::WaitUntil([&] { return publisher->StallsReached("/held") == 1; }));
    EXPECT_EQ(publisher->Answered("/held"), 0);
    publisher->EndStalls();
    client.join();
    EXPECT_EQ(BodyOf(reply), std::string(100, 'h'));
    EXPECT_TRUE(qftest::WaitUntil([&] { return publisher->Answered("/held") == 1; }));
    publisher.reset();

    // Silent from the start: not even the status line comes before the stop.
    publisher = std::make_unique<qftest::Publisher>();
    publisher->SetContent("/silent", "z");
    qftest::PathBehaviour silent;
    silent.nSilentMs = 600000;
    publisher->SetBehaviour("/silent", silent);
    client = std::thread([&] { reply = Fetch("/silent"); });
    EXPECT_TRUE(qftest::WaitUntil([&] { return publisher->RequestCount("/silent") == 1; }));
    publisher.reset();
    client.join();
    EXPECT_EQ(reply, "");
}

// What a failing test prints of the equipment it runs (tests/support): each
// program, whether it still runs or how it ended, with its windows, and each
// publisher's last requests with how far their answers got.
TEST(WhatWasSeen, TheProgramsWithTheirWindowsAndThePublishersLastRequests)
{
    qftest::Publisher publisher;
    publisher.SetContent("/held", "h");
    publisher.SetStall("/held", 0, INFINITE);
    std::thread held([] { Fetch("/held"); });
    ASSERT_TRUE(qftest::WaitUntil([&] { return publisher.StallsReached("/held") == 1; }));
    Fetch("/a");
    Fetch("/b?x=1");
    ASSERT_TRUE(qftest::WaitUntil([&] { return publisher.Answered("/b") == 1; }));
    const qftest::ScratchDir dir;
    qftest::LaunchOptions options;
    options.outputFile = dir.file(L"output.txt");
    auto reader = std::make_unique<qftest::Process>(qftest::TestBinDir() + L"\\ReaderStandIn.exe", options);
    const HWND frame = qftest::WaitForTopLevelWindow(reader->id(), L"Quillfeed_FrameWindowClass");
    ASSERT_NE(frame, nullptr);

    std::string seen = qfsupport::DescribeWitnesses();
    EXPECT_NE(seen.find("  publisher on port " + std::to_string(qftest::kPublisherPort) +
                        ": 3 requests, the last first:\n"
                        "    /b?x=1 (answers to the path: 1 ended, 0 reached a stall)\n"
                        "    /a (answers to the path: 1 ended, 0 reached a stall)\n"
                        "    /held (answers to the path: 0 ended, 1 reached a stall)\n"),
              std::string::npos)
        << seen;
    const std::string program = "  ReaderStandIn.exe (process " + std::to_string(reader->id()) + "): ";
    EXPECT_NE(seen.find(program + "still running\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find(" class \"Quillfeed_FrameWindowClass\" title \"Quillfeed (feed reader stand-in)\" visible\n"),
              std::string::npos)
        << seen;

    ::PostMessageW(frame, WM_CLOSE, 0, 0);
    EXPECT_EQ(reader->Wait(), 0u);
    seen = qfsupport::DescribeWitnesses();
    EXPECT_NE(seen.find(program + "ended with exit code 0 (0)\n    no top-level window\n    its output is empty\n"),
              std::string::npos)
        << seen;
    reader.reset();
    EXPECT_EQ(qfsupport::DescribeWitnesses().find("ReaderStandIn"), std::string::npos)
        << "a program gone still speaks";
    publisher.EndStalls();
    held.join();
}

TEST(Publisher, AnswersARangeOfTheVersionItNamesAndDropsAsManyAnswersAsAsked)
{
    qftest::Publisher publisher;
    const std::string body(1000, 'r');
    publisher.SetContent("/p", body);
    const std::string whole = Fetch("/p");
    EXPECT_NE(whole.find("\r\nAccept-Ranges: bytes\r\n"), std::string::npos) << whole;
    const size_t nETag = whole.find("\r\nETag: \"");
    ASSERT_NE(nETag, std::string::npos) << whole;
    const std::string etag = whole.substr(nETag + 8, whole.find("\r\n", nETag + 2) - nETag - 8);
    struct Case
    {
        const char* what;
        std::string headers;
        const char* status;
        const char* contentRange; // "": none
        std::string body;
    };
    const Case cases[] = {
        {"the rest of the version named", "Range: bytes=600-\r\nIf-Range: " + etag + "\r\n", "206",
         "bytes 600-999/1000", body.substr(600)},
        {"the rest, no version named", "Range: bytes=600-\r\n", "206", "bytes 600-999/1000", body.substr(600)},
        {"another version named", "Range: bytes=600-\r\nIf-Range: \"other\"\r\n", "200", "", body},
        {"nothing after the end", "Range: bytes=1000-\r\n", "416", "bytes */1000", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const std::string reply = Fetch("/p", {}, SIZE_MAX, c.headers);
        EXPECT_EQ(reply.rfind("HTTP/1.1 " + std::string(c.status) + " ", 0), 0u) << reply;
        EXPECT_EQ(reply.find("\r\nContent-Range: " + std::string(c.contentRange) + "\r\n") != std::string::npos,
                  *c.contentRange != '\0')
            << reply;
        EXPECT_EQ(BodyOf(reply), c.body);
    }
    EXPECT_EQ(publisher.RangesAsked("/p").size(), 4u);

    // A server without ranges, that names the version by its date.
    qftest::PathBehaviour plain;
    plain.bRanges = false;
    plain.validator = qftest::Validator::LastModified;
    publisher.SetBehaviour("/p", plain);
    std::string reply = Fetch("/p", {}, SIZE_MAX, "Range: bytes=600-\r\n");
    EXPECT_EQ(reply.find("Accept-Ranges"), std::string::npos) << reply;
    EXPECT_NE(reply.find("\r\nLast-Modified: "), std::string::npos) << reply;
    EXPECT_EQ(BodyOf(reply), body);

    // Dropped once, after which the body is a new version.
    qftest::PathBehaviour dropped;
    dropped.nDropAfter = 100;
    dropped.nDrops = 1;
    dropped.changeTo = "new";
    publisher.SetBehaviour("/p", dropped);
    EXPECT_EQ(BodyOf(Fetch("/p")), body.substr(0, 100));
    reply = Fetch("/p");
    EXPECT_EQ(BodyOf(reply), "new");
    EXPECT_EQ(reply.find(etag), std::string::npos) << "the new version has the old one's ETag";
}
