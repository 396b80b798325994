#include "ItemExtraction.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

using namespace qfplugin;

namespace
{
class ItemExtraction : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr))); }
    void TearDown() override { ::CoUninitialize(); }

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
    return prolog + L"<rss version=\"2.0\"><channel><title>Channel title</title>"
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
    const std::wstring text =
        Rss(L"<item><title>Fish &amp; chips &#x2014; &#169; &lt;b&gt;</title>"
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
    const std::wstring text = Rss(L"<item><title>t</title><description>" + description +
                                  L"</description><link>l</link></item>");
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

    // A document type without declarations loads here: that is the parser's
    // behaviour, not the plugin's, which leaves the parser's settings as they
    // are. Wine's MSXML 3.0 does not validate on load; Windows' validates by
    // default and would refuse this item. The words in a CDATA section of a
    // document without a document type load too.
    const ExtractedItem typed = ExtractItem(
        Rss(L"<item><title>t</title><description>d</description><link>l</link></item>",
            L"<?xml version=\"1.0\"?>\r\n<!DOCTYPE rss>")
            .c_str());
    EXPECT_STREQ(typed.m_strTitle.c_str(), L"t");
    const ExtractedItem quoted = ExtractItem(
        Rss(L"<item><title>t</title><description><![CDATA[<!ENTITY x \"y\">]]></description><link>l</link></item>")
            .c_str());
    EXPECT_STREQ(quoted.m_strDescription.c_str(), L"<!ENTITY x \"y\">");
}
