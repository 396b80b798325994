#include "XmlProlog.h"

#include <gtest/gtest.h>

#include <string>

using qfplugin::DeclaresEntities;

namespace
{
const std::wstring kItem = L"<rss><channel><item><title>&e;</title><description>d</description><link>l</link>"
                           L"</item></channel></rss>";
const std::wstring kDeclaring = L"<!DOCTYPE rss [<!ENTITY e \"x\">]>";
} // namespace

TEST(XmlProlog, EntityDeclarationsAreFoundWhateverPrecedesThemAndOnlyInTheDocumentType)
{
    struct Case
    {
        const wchar_t* what;
        std::wstring text;
        bool declares;
    };
    const Case cases[] = {
        {L"no document type", kItem, false},
        {L"plain document type", L"<!DOCTYPE rss>" + kItem, false},
        {L"document type declaring an entity", kDeclaring + kItem, true},
        {L"parameter entity", L"<!DOCTYPE rss [<!ENTITY % p \"x\">]>" + kItem, true},
        {L"external entity", L"<!DOCTYPE rss [<!ENTITY e SYSTEM \"http://e.example/x\">]>" + kItem, true},
        {L"parameter entity reference", L"<!DOCTYPE rss [%p;]>" + kItem, true},
        {L"byte-order mark, declaration, white space",
         L"\xFEFF<?xml version=\"1.0\"?>\r\n\t " + kDeclaring + kItem, true},
        // Comments end at the first "-->" after their opening "<!--".
        {L"comment opened as <!-->", L"<!--><x/>-->" + kDeclaring + kItem, true},
        {L"empty comment", L"<!---->" + kDeclaring + kItem, true},
        {L"comment with - and > inside", L"<!-- a-b > c ->-->" + kDeclaring + kItem, true},
        {L"comment that looks like a root", L"<!-- <rss> -->" + kDeclaring + kItem, true},
        // Instructions end at the first "?>" after their "<?".
        {L"instruction with ? and > inside", L"<?pi a > b ? c?>" + kDeclaring + kItem, true},
        // Inside the document type: literals and comments are read whole.
        {L"> in a system literal", L"<!DOCTYPE rss SYSTEM \"a>b[\" [<!ENTITY e \"x\">]>" + kItem, true},
        {L"] and > in a subset comment", L"<!DOCTYPE rss [<!-- ]> --><!ENTITY e \"x\">]>" + kItem, true},
        {L"> in an attribute default",
         L"<!DOCTYPE rss [<!ATTLIST rss v CDATA \"]>\"><!ENTITY e \"x\">]>" + kItem, true},
        {L"entity after element and notation declarations",
         L"<!DOCTYPE rss [<!ELEMENT rss ANY><!NOTATION n SYSTEM \"n\"><?pi ]>?><!ENTITY e \"x\">]>" + kItem, true},
        {L"document type that never ends", L"<!DOCTYPE rss [<!ELEMENT rss ANY>", true},
        // The words alone declare nothing.
        {L"words in a subset comment", L"<!DOCTYPE rss [<!-- <!ENTITY e \"x\"> -->]>" + kItem, false},
        {L"words in an attribute default",
         L"<!DOCTYPE rss [<!ATTLIST rss v CDATA \"<!ENTITY e 'x'>\">]>" + kItem, false},
        {L"words in a prolog comment", L"<!-- <!DOCTYPE rss [<!ENTITY e \"x\">]> -->" + kItem, false},
        {L"words in a literal", L"<!DOCTYPE rss SYSTEM \"<!ENTITY\">" + kItem, false},
        {L"words in CDATA after a plain document type",
         L"<!DOCTYPE rss>" + kItem.substr(0, kItem.size() - 16) + L"<![CDATA[<!ENTITY e \"x\">]]></channel></rss>",
         false},
        {L"words in text without a document type", L"<rss>&lt;!ENTITY e \"x\"&gt; <!ENTITY e \"x\"></rss>", false},
        {L"empty text", L"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DeclaresEntities(c.text.c_str()), c.declares) << c.what;
    EXPECT_FALSE(DeclaresEntities(nullptr));
}
