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

namespace
{
// A binding that only counts the aborts it is given.
class CountingBinding final : public IBinding
{
public:
    int m_nAborts = 0;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = ::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IBinding) ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP Abort() override
    {
        ++m_nAborts;
        return S_OK;
    }
    STDMETHODIMP Suspend() override { return E_NOTIMPL; }
    STDMETHODIMP Resume() override { return E_NOTIMPL; }
    STDMETHODIMP SetPriority(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetBindResult(CLSID*, DWORD*, LPOLESTR*, DWORD*) override { return E_NOTIMPL; }
};
} // namespace

TEST(BindingAbort, AnAbortIsMadeOnceTheBindingIsUnderWayAndOnlyOnce)
{
    // Between OnStartBinding and the first progress callback an abort would
    // be taken and ignored: it waits for the binding to be under way.
    CountingBinding first;
    CRunningBinding running;
    running.Attach(&first);
    running.Abort();
    EXPECT_EQ(first.m_nAborts, 0);
    running.UnderWay();
    EXPECT_EQ(first.m_nAborts, 1);
    running.UnderWay();
    running.Abort();
    EXPECT_EQ(first.m_nAborts, 1);
    // Asked for before a later binding of the same transfer: made as that one gets under way.
    running.Detach();
    CountingBinding second;
    running.Attach(&second);
    running.UnderWay();
    EXPECT_EQ(second.m_nAborts, 1);
    // A new transfer starts with nothing asked for.
    running.Reset();
    CountingBinding third;
    running.Attach(&third);
    running.UnderWay();
    EXPECT_EQ(third.m_nAborts, 0);
    running.Detach();
}

TEST(BindingAbort, AnAbortAskedForBeforeTheBindingIsUnderWayStillEndsIt)
{
    qftest::Publisher publisher;
    publisher.SetContent("/answer", "never sent");
    publisher.SetStall("/answer", 0, INFINITE);
    // One whole fetch first. In a new prefix, Wine sets up its URL cache on a
    // thread of its own when a binding first asks; an aborted fetch that ends
    // the test at once could cut that short and leave the prefix's cache
    // broken for every later download.
    publisher.SetContent("/whole", "w");
    CRunningBinding wholeBinding;
    const unique_com<CBoundedFetch> whole = CBoundedFetch::Create(1024, wholeBinding);
    ASSERT_EQ(whole.get()->Fetch(publisher.Url("/whole").c_str()), S_OK);
    // Should the abort be lost, the stall ends after a while and the fetch
    // returns whole instead of aborted: the test fails rather than hangs.
    const unique_handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread release([&] {
        ::WaitForSingleObject(done.get(), static_cast<DWORD>(qftest::kEventTimeout.count()));
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
