#include "ItemExtraction.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

using namespace qfplugin;

namespace
{
// Makes the parser's documents as MSXML 3.0 starts them on Windows, resolving
// external references and validating (Wine's start with both off, so a
// setting the extraction dropped would go unseen). Registered in this process
// in place of the parser's class; the documents are the parser's own.
class WindowsDefaultDocuments : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        *object = iid == IID_IUnknown || iid == IID_IClassFactory ? this : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    // Lives as long as the test that registered it.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
    {
        *object = nullptr;
        com_ptr<IXMLDOMDocument> document;
        HRESULT hr = m_parser->CreateInstance(outer, IID_XmlDomDocument, document.put_void());
        if (SUCCEEDED(hr))
            hr = document->put_resolveExternals(VARIANT_TRUE);
        if (SUCCEEDED(hr))
            hr = document->put_validateOnParse(VARIANT_TRUE);
        if (SUCCEEDED(hr))
            hr = document->QueryInterface(iid, object);
        m_nMade += SUCCEEDED(hr);
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    void Register()
    {
        ASSERT_EQ(::CLSIDFromProgID(L"MSXML2.DOMDocument.3.0", &m_clsid), S_OK);
        ASSERT_EQ(::CoGetClassObject(m_clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, m_parser.put_void()),
                  S_OK);
        ASSERT_EQ(::CoRegisterClassObject(m_clsid, this, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_nCookie), S_OK);
    }
    void Revoke()
    {
        if (m_nCookie)
            ::CoRevokeClassObject(m_nCookie);
        m_parser.reset();
    }

    int m_nMade = 0;

private:
    CLSID m_clsid{};
    com_ptr<IClassFactory> m_parser;
    DWORD m_nCookie = 0;
};

class ItemExtraction : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
        m_documents.Register();
    }
    void TearDown() override
    {
        m_documents.Revoke();
        ::CoUninitialize();
    }

    WindowsDefaultDocuments m_documents;

    // The HRESULT the extraction raised, or S_OK when it delivered.
    static HRESULT FailureOf(const wchar_t* itemText)
    {
        try
        {
            ExtractItem(itemText);
            return S_OK;
        }
        catch (const _com_error& error)
        {
            return error.Error();
        }
    }
};

std::wstring Rss(const std::wstring& items, const std::wstring& prolog = L"")
{
    return prolog +
           L"<rss version=\"2.0\"><channel><title>Channel title</title>"
           L"<link>http://channel.example/</link><description>Channel description</description>" +
           items + L"</channel></rss>";
}
} // namespace

TEST_F(ItemExtraction, EachFieldComesFromTheFirstItemThatHasIt)
{
    const std::wstring text = Rss(L"<item><title>First title</title><link>http://one.example/</link></item>"
                                  L"<item><title>Second title</title><description>Second description</description>"
                                  L"<link>http://two.example/</link></item>");
    const ExtractedItem item = ExtractItem(text.c_str());
    EXPECT_STREQ(item.m_strTitle.c_str(), L"First title");
    EXPECT_STREQ(item.m_strDescription.c_str(), L"Second description");
    EXPECT_STREQ(item.m_strLink.c_str(), L"http://one.example/");
    EXPECT_TRUE(item.m_document);
}

TEST_F(ItemExtraction, ReferencesResolvedCdataKeptEmptyElementIsEmptyText)
{
    const std::wstring text = Rss(
        L"<item><title>Fish &amp; chips &#x2014; &#169; &lt;b&gt;</title>"
        L"<description>&lt;p&gt;Hello&lt;/p&gt; <![CDATA[<b>bold &amp; raw</b>]]></description>"
        L"<link></link></item>");
    const ExtractedItem item = ExtractItem(text.c_str());
    EXPECT_STREQ(item.m_strTitle.c_str(), L"Fish & chips \x2014 \x00A9 <b>");
    EXPECT_STREQ(item.m_strDescription.c_str(), L"<p>Hello</p> <b>bold &amp; raw</b>");
    EXPECT_STREQ(item.m_strLink.c_str(), L"");
}

TEST_F(ItemExtraction, DescriptionOfSeveralMegabytesArrivesWhole)
{
    const std::wstring description(8 * 1024 * 1024, L'x');
    const std::wstring text =
        Rss(L"<item><title>t</title><description>" + description + L"</description><link>l</link></item>");
    const ExtractedItem item = ExtractItem(text.c_str());
    EXPECT_EQ(item.m_strDescription.length(), description.size());
    EXPECT_EQ(std::wstring(item.m_strDescription.c_str()), description);
}

TEST_F(ItemExtraction, WrongShapesAndMissingElementsRaiseEPointer)
{
    EXPECT_EQ(FailureOf(L"<rss><channel><item><title>x</title"), E_POINTER);
    EXPECT_EQ(FailureOf(L""), E_POINTER);
    EXPECT_EQ(FailureOf(nullptr), E_POINTER);
    // Only an item's own elements count, never the channel's.
    EXPECT_EQ(FailureOf(Rss(L"").c_str()), E_POINTER);
    EXPECT_EQ(FailureOf(Rss(L"<item><description>d</description><link>l</link></item>").c_str()), E_POINTER);
    EXPECT_EQ(FailureOf(Rss(L"<item><title>t</title><link>l</link></item>").c_str()), E_POINTER);
    EXPECT_EQ(FailureOf(Rss(L"<item><title>t</title><description>d</description></item>").c_str()), E_POINTER);
    EXPECT_EQ(FailureOf(L"<RSS><channel><item><title>t</title><description>d</description><link>l</link>"
                        L"</item></channel></RSS>"),
              E_POINTER);
    EXPECT_EQ(FailureOf(L"<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
                        L"xmlns=\"http://purl.org/rss/1.0/\"><channel><title>c</title></channel>"
                        L"<item><title>t</title><description>d</description><link>l</link></item></rdf:RDF>"),
              E_POINTER);
    EXPECT_EQ(FailureOf(L"<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry><title>t</title>"
                        L"<summary>d</summary><link href=\"l\"/></entry></feed>"),
              E_POINTER);
    EXPECT_EQ(FailureOf(Rss(L"<item><title>t</title><description>d</description><link>l</link></item>").c_str()),
              S_OK);
}

TEST_F(ItemExtraction, DeclaredEntitiesAreNotExpanded)
{
    // A 10 KB entity used 10,000 times would keep the parser busy for hours.
    const std::wstring declaration = L"<!DOCTYPE rss [<!ENTITY big \"" + std::wstring(10240, L'x') + L"\">]>";
    std::wstring uses;
    for (int i = 0; i < 10000; ++i)
        uses += L"&big;";
    EXPECT_EQ(FailureOf(Rss(L"<item><title>t</title><description>" + uses + L"</description><link>l</link></item>",
                            declaration)
                            .c_str()),
              E_POINTER);
    // Behind comments and processing instructions too, a comment opened as
    // "<!-->" included (its end is the next "-->", not the one it opens with).
    EXPECT_EQ(FailureOf(Rss(L"<item><title>&e;</title><description>d</description><link>l</link></item>",
                            L"<?xml version=\"1.0\"?><!--><rss/>--><!DOCTYPE rss [<!ENTITY e \"x\">]>")
                            .c_str()),
              E_POINTER);

    // A document type without declarations loads, an external one (as
    // RSS 0.91 items carry) included: the document, made with MSXML 3.0's
    // defaults on Windows, neither fetches nor validates once the extraction
    // has it (Wine's never fetches, so only the settings read back show it
    // here). The words in a CDATA section of a document without a document
    // type load too.
    for (const wchar_t* prolog :
         {L"<?xml version=\"1.0\"?>\r\n<!DOCTYPE rss>",
          L"<!DOCTYPE rss PUBLIC \"-//Netscape Communications//DTD RSS 0.91//EN\" \"http://127.0.0.1:9/rss.dtd\">"})
    {
        const ExtractedItem typed = ExtractItem(
            Rss(L"<item><title>t</title><description>d</description><link>l</link></item>", prolog).c_str());
        EXPECT_STREQ(typed.m_strTitle.c_str(), L"t");
        ASSERT_GT(m_documents.m_nMade, 0) << "the document did not start with Windows' settings";
        VARIANT_BOOL resolves = VARIANT_TRUE;
        VARIANT_BOOL validates = VARIANT_TRUE;
        ASSERT_EQ(typed.m_document->get_resolveExternals(&resolves), S_OK);
        ASSERT_EQ(typed.m_document->get_validateOnParse(&validates), S_OK);
        EXPECT_EQ(resolves, VARIANT_FALSE);
        EXPECT_EQ(validates, VARIANT_FALSE);
    }
    const ExtractedItem quoted = ExtractItem(
        Rss(L"<item><title>t</title><description><![CDATA[<!ENTITY x \"y\">]]></description><link>l</link></item>")
            .c_str());
    EXPECT_STREQ(quoted.m_strDescription.c_str(), L"<!ENTITY x \"y\">");
}
