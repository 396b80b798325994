// What every binding shares: which redirects are refused, and an abort that
// reaches a binding whenever it was asked for.
#include "Publisher.h"  // winsock2.h before windows.h

#include "BindingWatch.h"

#include <gtest/gtest.h>

#include <thread>

#include "TestSupport.h"

TEST(BindingRedirect, OnlyALeaveOfHttpsIsADowngrade)
{
    struct Case
    {
        const wchar_t* from;
        const wchar_t* to;
        bool bDowngrade;
    };
    const Case cases[] = {
        {L"https://a.example/x", L"http://a.example/x", true},
        {L"HTTPS://a.example/x", L"Http://b.example/y", true},
        {L"https://a.example/x", L"ftp://a.example/x", true},
        {L"https://a.example/x", L"", true},
        {L"https://a.example/x", nullptr, true},
        {L"https://a.example/x", L"HTTPS://b.example/y", false},
        {L"http://a.example/x", L"http://b.example/y", false},
        {L"http://a.example/x", L"https://b.example/y", false},
        {L"http://a.example/x", L"file:///C:/x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsDowngrade(c.from, c.to), c.bDowngrade) << qftest::Utf8(c.from) << " to " << qftest::Utf8(c.to ? c.to : L"(none)");
}

TEST(BindingAbort, AnAbortAskedForBeforeTheBindingIsUnderWayStillEndsIt)
{
    qftest::Publisher publisher;
    publisher.SetContent("/answer", "never sent");
    publisher.SetStall("/answer", 0, INFINITE);
    // Should the abort be lost, the stall ends after a while and the fetch
    // returns whole instead of aborted: the test fails rather than hangs.
    const unique_handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread release([&] {
        ::WaitForSingleObject(done.get(), 20000);
        publisher.EndStalls();
    });
    CRunningBinding binding;
    binding.Abort();
    const unique_com<CBoundedFetch> fetch = CBoundedFetch::Create(1024, binding);
    EXPECT_EQ(fetch.get()->Fetch(publisher.Url("/answer").c_str()), E_ABORT);
    EXPECT_FALSE(fetch.get()->Complete());
    ::SetEvent(done.get());
    release.join();
}
