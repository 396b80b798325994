// What every binding shares: which redirects are refused, an abort that
// reaches a binding whenever it was asked for, and the status callback that
// every binding is given.
#include "Publisher.h" // winsock2.h before windows.h

#include "BindingWatch.h"
#include "BoundedFetch.h"

#include <gtest/gtest.h>

#include <new>
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
        EXPECT_EQ(IsDowngrade(c.from, c.to), c.bDowngrade)
            << qftest::Utf8(c.from) << " to " << qftest::Utf8(c.to ? c.to : L"(none)");
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

TEST(BindingRedirect, AnHttpsBindingThatCannotTellWhereItArrivedCountsAsDowngraded)
{
    // A binding without IWinInetInfo, as one with an address past any buffer.
    for (const bool bHttps : {true, false})
    {
        CountingBinding binding;
        CRunningBinding running;
        running.Attach(&binding);
        running.UnderWay();
        CHttpAnswer answer;
        answer.Begin(bHttps ? L"https://a.example/x" : L"http://a.example/x");
        answer.Responded(200, running);
        EXPECT_EQ(answer.Downgraded(), bHttps);
        EXPECT_EQ(binding.m_nAborts, bHttps ? 1 : 0);
        running.Detach();
    }
}

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
    // The next binding of the transfer, attached and under way.
    const auto underWay = [&](CountingBinding& binding) {
        running.Attach(&binding);
        running.UnderWay();
    };
    // Asked for before a later binding of the same transfer: made as that one gets under way.
    running.Detach();
    CountingBinding second;
    underWay(second);
    EXPECT_EQ(second.m_nAborts, 1);
    // A new transfer starts with nothing asked for.
    running.Reset();
    CountingBinding third;
    underWay(third);
    EXPECT_EQ(third.m_nAborts, 0);
    // A binding's own refusal ends that binding, and not the next.
    running.AbortThis();
    EXPECT_EQ(third.m_nAborts, 1);
    running.Detach();
    CountingBinding fourth;
    underWay(fourth);
    EXPECT_EQ(fourth.m_nAborts, 0);
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

namespace
{
// A binding callback that reads the stream, counts its reads, and throws
// from the part named (or sets its stop flag after its first read).
enum class Part
{
    None,
    RequestHeaders,
    Answered,
    Reported,
    Read,
    StopAfterTheFirstRead,
};

class ProbeCallback final : public CBindingCallback
{
public:
    ProbeCallback(CRunningBinding& binding, Part part, bool& bDestroyed)
        : CBindingCallback(binding, &m_bStop), m_part(part), m_bDestroyed(bDestroyed)
    {
    }
    int m_nReads = 0;

private:
    ~ProbeCallback() override { m_bDestroyed = true; }
    void Throw(Part part) const
    {
        if (m_part == part)
            throw std::bad_alloc();
    }
    std::wstring RequestHeaders() override
    {
        Throw(Part::RequestHeaders);
        return std::wstring();
    }
    HRESULT Answered(DWORD, LPCWSTR) override
    {
        Throw(Part::Answered);
        return S_OK;
    }
    void Reported(ULONG, ULONG, ULONG) override { Throw(Part::Reported); }
    HRESULT Read(IStream* pStream) override
    {
        Throw(Part::Read);
        ++m_nReads;
        char buffer[1024];
        ULONG nRead = 0;
        while (pStream->Read(buffer, sizeof(buffer), &nRead) == S_OK && nRead)
        {
        }
        m_bStop = m_part == Part::StopAfterTheFirstRead;
        return S_OK;
    }

    std::atomic<bool> m_bStop{false};
    const Part m_part;
    bool& m_bDestroyed;
};
} // namespace

TEST(BindingCallback, AnswersForItsTwoInterfacesAndGoesWithItsLastReference)
{
    bool bDestroyed = false;
    CRunningBinding binding;
    IBindStatusCallback* pCallback = new ProbeCallback(binding, Part::None, bDestroyed);

    EXPECT_EQ(pCallback->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    void* pv = reinterpret_cast<void*>(1);
    EXPECT_EQ(pCallback->QueryInterface(IID_IStream, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    // No IHttpSecurity: the binding refuses every certificate that Windows does not trust.
    EXPECT_EQ(pCallback->QueryInterface(IID_IHttpSecurity, &pv), E_NOINTERFACE);

    IUnknown* pUnknown = nullptr;
    ASSERT_EQ(pCallback->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(pUnknown), static_cast<void*>(pCallback));
    IBindStatusCallback* pAgain = nullptr;
    ASSERT_EQ(pCallback->QueryInterface(IID_IBindStatusCallback, reinterpret_cast<void**>(&pAgain)), S_OK);
    EXPECT_EQ(pAgain, pCallback);
    IHttpNegotiate* pNegotiate = nullptr;
    ASSERT_EQ(pCallback->QueryInterface(IID_IHttpNegotiate, reinterpret_cast<void**>(&pNegotiate)), S_OK);

    EXPECT_EQ(pCallback->AddRef(), 5u);
    EXPECT_EQ(pNegotiate->Release(), 4u);
    EXPECT_EQ(pAgain->Release(), 3u);
    EXPECT_EQ(pUnknown->Release(), 2u);
    EXPECT_EQ(pCallback->Release(), 1u);
    EXPECT_FALSE(bDestroyed);
    // Outside a binding it does nothing for anyone.
    EXPECT_EQ(pCallback->OnStartBinding(0, nullptr), E_ABORT);
    EXPECT_EQ(pCallback->OnDataAvailable(0, 0, nullptr, nullptr), E_ABORT);
    EXPECT_EQ(pCallback->Release(), 0u);
    EXPECT_TRUE(bDestroyed);
}

TEST(BindingCallback, NothingThrownUnwindsIntoTheBindingAndAStopRefusesTheNextCallback)
{
    qftest::Publisher publisher;
    // Slowly, so that the body comes in several callbacks.
    publisher.SetContent("/body", std::string(64 * 1024, 'b'));
    publisher.SetRate("/body", 64 * 1024);
    struct Case
    {
        Part part;
        HRESULT hrRefusal;
        int nReads;
    };
    for (const Case c : {Case{Part::RequestHeaders, E_OUTOFMEMORY, 0}, Case{Part::Answered, E_OUTOFMEMORY, 0},
                         Case{Part::Reported, E_OUTOFMEMORY, 0}, Case{Part::Read, E_OUTOFMEMORY, 0},
                         Case{Part::StopAfterTheFirstRead, S_OK, 1}, Case{Part::None, S_OK, -1}})
    {
        SCOPED_TRACE(static_cast<int>(c.part));
        bool bDestroyed = false;
        CRunningBinding binding;
        ProbeCallback* pProbe = new ProbeCallback(binding, c.part, bDestroyed);
        const unique_com<CBindingCallback> callback(pProbe);
        const HRESULT hr = callback.get()->Bind(publisher.Url("/body").c_str());
        EXPECT_EQ(SUCCEEDED(hr), c.part == Part::None) << std::hex << hr;
        EXPECT_EQ(callback.get()->Refusal(), c.hrRefusal);
        if (c.nReads >= 0)
        {
            EXPECT_EQ(pProbe->m_nReads, c.nReads);
        }
    }
}
