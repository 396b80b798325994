#include "ComSupport.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <map>

using namespace qfplugin;

namespace
{
// A message table we know, in place of the system's (Wine's lacks texts that
// Windows has, and words them differently).
std::map<HRESULT, std::wstring> g_messages;

bool FakeLookup(HRESULT hr, std::wstring& text)
{
    const auto it = g_messages.find(hr);
    if (it == g_messages.end())
        return false;
    text = it->second;
    return true;
}

// Counts its references and can claim error information for one interface.
class CountingObject : public ISupportErrorInfo
{
public:
    explicit CountingObject(const IID* errorInterface = nullptr) : m_pErrorInterface(errorInterface) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        *object = nullptr;
        if (iid == IID_IUnknown || (m_pErrorInterface && iid == IID_ISupportErrorInfo))
        {
            *object = static_cast<ISupportErrorInfo*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_nRefs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_nRefs); }
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override
    {
        return m_pErrorInterface && iid == *m_pErrorInterface ? S_OK : S_FALSE;
    }

    long m_nRefs = 1; // the test's own reference
    const IID* m_pErrorInterface;
};

const IID kSomeInterface = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const IID kOtherInterface = {0x66666666, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct ComApartment
{
    ComApartment() { ::CoInitialize(nullptr); }
    ~ComApartment() { ::CoUninitialize(); }
};

com_ptr<IErrorInfo> MakeErrorObject(const wchar_t* description)
{
    com_ptr<ICreateErrorInfo> create;
    EXPECT_EQ(::CreateErrorInfo(create.put()), S_OK);
    create->SetDescription(const_cast<LPOLESTR>(description));
    com_ptr<IErrorInfo> info;
    create->QueryInterface(IID_IErrorInfo, info.put_void());
    return info;
}
} // namespace

TEST(ComErrorText, SystemTextLosesItsLineEndOnly)
{
    g_messages = {{E_FAIL, L"Line one\r\nline two\r\n"},
                  {E_ABORT, L"Ends in a line feed\n"},
                  {E_INVALIDARG, L"Stray carriage return\r"},
                  {E_HANDLE, L"Two line feeds\n\n"},
                  {E_PENDING, L""}};
    EXPECT_EQ(ComErrorText(E_FAIL, FakeLookup), L"Line one\r\nline two");
    EXPECT_EQ(ComErrorText(E_ABORT, FakeLookup), L"Ends in a line feed");
    EXPECT_EQ(ComErrorText(E_INVALIDARG, FakeLookup), L"Stray carriage return\r");
    EXPECT_EQ(ComErrorText(E_HANDLE, FakeLookup), L"Two line feeds\n");
    EXPECT_EQ(ComErrorText(E_PENDING, FakeLookup), L"");
}

TEST(ComErrorText, WithoutSystemTextDispatchRangeOrUnknown)
{
    g_messages.clear();
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x80040200), FakeLookup), L"IDispatch error #0");
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x80040201), FakeLookup), L"IDispatch error #1");
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x8004FFFF), FakeLookup), L"IDispatch error #65023");
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x800401FF), FakeLookup), L"Unknown error 0x800401FF");
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x80050000), FakeLookup), L"Unknown error 0x80050000");
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0xE0000001), FakeLookup), L"Unknown error 0xE0000001");
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x0000000E), FakeLookup), L"Unknown error 0xE");
    // A system text wins over the dispatch range.
    g_messages = {{static_cast<HRESULT>(0x80040201), L"Known\r\n"}};
    EXPECT_EQ(ComErrorText(static_cast<HRESULT>(0x80040201), FakeLookup), L"Known");
}

TEST(ComErrorText, SystemLookupGivesTheRawMessageTableText)
{
    // ERROR_FILE_NOT_FOUND has a text on every system; it ends in a line end
    // that the display text drops.
    std::wstring raw;
    ASSERT_TRUE(SystemMessageText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), raw));
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw.back(), L'\n');
    EXPECT_EQ(ComErrorText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) + L"\r\n", raw);
    EXPECT_FALSE(SystemMessageText(static_cast<HRESULT>(0xE0000001), raw));
}

TEST(ComError, TextMadeOnceAndCopiesShareTheErrorObject)
{
    ComApartment com;
    com_ptr<IErrorInfo> info = MakeErrorObject(L"from the object");
    info.get()->AddRef(); // the reference the error takes over
    {
        const _com_error error(static_cast<HRESULT>(0xE0000001), info.get());
        const wchar_t* first = error.ErrorMessage();
        EXPECT_STREQ(first, L"Unknown error 0xE0000001");
        EXPECT_EQ(error.ErrorMessage(), first);
        EXPECT_EQ(error.ErrorInfo(), info.get());

        const _com_error copy(error);
        EXPECT_EQ(copy.Error(), error.Error());
        EXPECT_EQ(copy.ErrorInfo(), info.get());
        EXPECT_STREQ(copy.ErrorMessage(), first);

        // An assigned error drops its own text and takes the other's object.
        _com_error assigned(E_FAIL);
        EXPECT_STRNE(assigned.ErrorMessage(), first);
        assigned = copy;
        EXPECT_EQ(assigned.ErrorInfo(), info.get());
        EXPECT_STREQ(assigned.ErrorMessage(), first);
        assigned = _com_error(E_FAIL);
        EXPECT_EQ(assigned.ErrorInfo(), nullptr);
        assigned = copy;
    }
    // Every error released its references: ours is the last.
    EXPECT_EQ(info.get()->AddRef(), 2u);
    info.get()->Release();
}

TEST(ComError, FailingCallCarriesErrorObjectOnlyForTheClaimedInterface)
{
    ComApartment com;
    CountingObject object(&kSomeInterface);
    com_ptr<IErrorInfo> info = MakeErrorObject(L"why");

    ::SetErrorInfo(0, info.get());
    try
    {
        CheckResult(E_FAIL, &object, kSomeInterface);
        FAIL() << "a failing result must raise";
    }
    catch (const _com_error& error)
    {
        EXPECT_EQ(error.Error(), E_FAIL);
        EXPECT_EQ(error.ErrorInfo(), info.get());
    }

    ::SetErrorInfo(0, info.get());
    try
    {
        CheckResult(E_FAIL, &object, kOtherInterface);
        FAIL() << "a failing result must raise";
    }
    catch (const _com_error& error)
    {
        EXPECT_EQ(error.ErrorInfo(), nullptr);
    }
    ::SetErrorInfo(0, nullptr);

    CountingObject silent; // no ISupportErrorInfo at all
    try
    {
        CheckResult(DISP_E_EXCEPTION, &silent, kSomeInterface);
        FAIL() << "a failing result must raise";
    }
    catch (const _com_error& error)
    {
        EXPECT_EQ(error.Error(), DISP_E_EXCEPTION);
        EXPECT_EQ(error.ErrorInfo(), nullptr);
    }
    EXPECT_NO_THROW(CheckResult(S_FALSE, &object, kSomeInterface));
    EXPECT_EQ(object.m_nRefs, 1);
    EXPECT_EQ(silent.m_nRefs, 1);
}

TEST(InterfaceHolder, ReleasesOnEveryPathAndRaisesEPointerWhenEmpty)
{
    CountingObject object;
    {
        object.AddRef();
        com_ptr<IUnknown> holder(&object);
        com_ptr<IUnknown> copy = holder;
        EXPECT_EQ(object.m_nRefs, 3);
        com_ptr<IUnknown> moved = std::move(copy);
        EXPECT_EQ(object.m_nRefs, 3);
        EXPECT_FALSE(copy);
    }
    EXPECT_EQ(object.m_nRefs, 1);

    try
    {
        object.AddRef();
        com_ptr<IUnknown> holder(&object);
        IssueError(E_FAIL);
    }
    catch (const _com_error&)
    {
    }
    EXPECT_EQ(object.m_nRefs, 1);

    object.AddRef();
    com_ptr<IUnknown> holder(&object);
    holder.put(); // an out parameter empties it first
    EXPECT_EQ(object.m_nRefs, 1);
    try
    {
        holder->AddRef();
        FAIL() << "a call through an empty holder must raise";
    }
    catch (const _com_error& error)
    {
        EXPECT_EQ(error.Error(), E_POINTER);
    }
}

TEST(StringHolder, CopiesShareOneStringAndNullCountsAsEmpty)
{
    const shared_bstr empty(nullptr);
    EXPECT_EQ(empty.get(), nullptr);
    EXPECT_STREQ(empty.c_str(), L"");
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.length(), 0u);

    const shared_bstr text(L"abc\0def");
    EXPECT_EQ(text.length(), 3u); // copied up to the first zero
    {
        const shared_bstr copy = text;
        EXPECT_EQ(copy.get(), text.get());
        EXPECT_EQ(text.use_count(), 2);
        try
        {
            const shared_bstr another = copy;
            EXPECT_EQ(text.use_count(), 3);
            IssueError(E_FAIL);
        }
        catch (const _com_error&)
        {
        }
        EXPECT_EQ(text.use_count(), 2);
    }
    EXPECT_EQ(text.use_count(), 1);

    const shared_bstr taken = shared_bstr::attach(::SysAllocString(L"returned"));
    EXPECT_STREQ(taken.c_str(), L"returned");
    EXPECT_EQ(taken.use_count(), 1);
}

TEST(CreateObject, RaisesFailuresButLeavesNoInterfaceToFirstUse)
{
    // Without COM on the thread, creation itself fails and is raised.
    com_ptr<IUnknown> holder;
    try
    {
        CreateInstance(holder, L"MSXML2.DOMDocument.3.0", IID_IUnknown);
        FAIL() << "creation without COM must raise";
    }
    catch (const _com_error& error)
    {
        EXPECT_EQ(error.Error(), CO_E_NOTINITIALIZED);
    }

    ComApartment com;
    try
    {
        CreateInstance(holder, L"No.Such.ProgId", IID_IUnknown);
        FAIL() << "an unknown class must raise";
    }
    catch (const _com_error& error)
    {
        EXPECT_EQ(error.Error(), CO_E_CLASSSTRING);
    }

    // The document offers no IClassFactory: E_NOINTERFACE is not raised, the
    // holder stays empty and its first use raises E_POINTER.
    com_ptr<IClassFactory> factory;
    EXPECT_NO_THROW(CreateInstance(factory, L"MSXML2.DOMDocument.3.0", IID_IClassFactory));
    EXPECT_FALSE(factory);
    try
    {
        factory->LockServer(TRUE);
        FAIL() << "the first use of the empty holder must raise";
    }
    catch (const _com_error& error)
    {
        EXPECT_EQ(error.Error(), E_POINTER);
    }

    com_ptr<IUnknown> document;
    CreateInstance(document, L"MSXML2.DOMDocument.3.0", IID_IUnknown);
    EXPECT_TRUE(document);
}
