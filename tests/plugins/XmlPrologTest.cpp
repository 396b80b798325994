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
        {L"byte-order mark, declaration, white space", L"\xFEFF<?xml version=\"1.0\"?>\r\n\t " + kDeclaring + kItem,
         true},
        // Comments end at the first "-->" after their opening "<!--".
        {L"comment opened as <!-->", L"<!--><x/>-->" + kDeclaring + kItem, true},
        {L"empty comment", L"<!---->" + kDeclaring + kItem, true},
        {L"comment with - and > inside", L"<!-- a-b > c ->-->" + kDeclaring + kItem, true},
        {L"comment that looks like a root", L"<!-- <rss> -->" + kDeclaring + kItem, true},
        // Instructions end at the first "?>" after their "<?".
        {L"instruction with ? and > inside", L"<?pi a > b ? c?>" + kDeclaring + kItem, true},
        // A declaration's values are quoted: one still open at "?>" hides what follows.
        {L"declaration with a quote open at its ?>",
         L"<?xml version=\"?><r x='\"?><!DOCTYPE r [<!ENTITY e \"x\">]><rss>&e;</rss>", true},
        {L"declaration in capitals with a quote open", L"<?XML version='?>" + kItem + L"'?>", true},
        {L"declaration with a quote that never closes", L"<?xml version=\"1.0?>" + kItem, true},
        {L"other instruction with a quote open", L"<?xml-stylesheet title=\"it's?>" + kItem, false},
        {L"declaration with both kinds of quote", L"<?xml version='1.0' encoding=\"UTF-8\"?>" + kItem, false},
        // Inside the document type: literals and comments are read whole.
        {L"> in a system literal", L"<!DOCTYPE rss SYSTEM \"a>b[\" [<!ENTITY e \"x\">]>" + kItem, true},
        {L"] and > in a subset comment", L"<!DOCTYPE rss [<!-- ]> --><!ENTITY e \"x\">]>" + kItem, true},
        {L"> in an attribute default", L"<!DOCTYPE rss [<!ATTLIST rss v CDATA \"]>\"><!ENTITY e \"x\">]>" + kItem,
         true},
        {L"entity after element and notation declarations",
         L"<!DOCTYPE rss [<!ELEMENT rss ANY><!NOTATION n SYSTEM \"n\"><?pi ]>?><!ENTITY e \"x\">]>" + kItem, true},
        {L"document type that never ends", L"<!DOCTYPE rss [<!ELEMENT rss ANY>", true},
        // Read clean to the root element, or refused: what the reader cannot
        // follow, a lenient parser may still load.
        {L"second byte-order mark", L"\xFEFF\xFEFF" + kDeclaring + kItem, true},
        {L"byte-order mark, no document type", L"\xFEFF" + kItem, false},
        {L"second byte-order mark, no document type", L"\xFEFF\xFEFF" + kItem, true},
        {L"text before the XML declaration", L"x<?xml version=\"1.0\"?>" + kDeclaring + kItem, true},
        {L"text before the root", L"<!DOCTYPE rss> x" + kItem, true},
        {L"unterminated notation swallowing an entity",
         L"<!DOCTYPE rss [<!NOTATION n SYSTEM \"id\" <!ENTITY e \"x\">]>" + kItem, true},
        {L"unknown declaration in the subset", L"<!DOCTYPE rss [<!ELEMENTS rss ANY>]>" + kItem, true},
        {L"parameter entity reference in a declaration", L"<!DOCTYPE rss [<!ELEMENT rss %p;>]>" + kItem, true},
        {L"unknown <! form in the prolog", L"<![CDATA[x]]>" + kItem, true},
        {L"document type ending at ]", L"<!DOCTYPE rss []" + kItem, true},
        {L"second document type", L"<!DOCTYPE rss><!DOCTYPE rss>" + kItem, true},
        {L"prolog without a root", L"<?xml version=\"1.0\"?><!DOCTYPE rss>\r\n", true},
        {L"root name starting with a digit", L"<!DOCTYPE rss><1rss/>", true},
        {L"root name starting with a letter beyond ASCII", L"<!DOCTYPE \x65E5>\n<\x65E5/>", false},
        {L"root name starting with a surrogate pair", L"<\xD840\xDC00/>", false},
        // Literals end at their own quote, whichever it is.
        {L"> and ] in single-quoted literals", L"<!DOCTYPE rss SYSTEM 'a>b]' [<!ATTLIST rss v CDATA '>]'>]>" + kItem,
         false},
        {L"> and ] in double-quoted literals",
         L"<!DOCTYPE rss PUBLIC \"p]>\" \"s>]\" [<!NOTATION n SYSTEM \"]>\">]>" + kItem, false},
        {L"entity after a single-quoted literal holding ]>",
         L"<!DOCTYPE rss SYSTEM ']>' [<!ATTLIST rss v CDATA '>]'><!ENTITY e 'x'>]>" + kItem, true},
        {L"notation declaration in the subset",
         L"<!DOCTYPE rss [ <!NOTATION gif PUBLIC \"-//X//gif\" 'v.exe'> ] >" + kItem, false},
        {L"RSS 0.91 document type",
         L"<?xml version=\"1.0\"?>\n<!DOCTYPE rss PUBLIC \"-//Netscape Communications//DTD RSS 0.91//EN\"\n"
         L" \"http://my.netscape.com/publish/formats/rss-0.91.dtd\">\n" +
             kItem,
         false},
        // The words alone declare nothing.
        {L"words in a subset comment", L"<!DOCTYPE rss [<!-- <!ENTITY e \"x\"> -->]>" + kItem, false},
        {L"words in an attribute default", L"<!DOCTYPE rss [<!ATTLIST rss v CDATA \"<!ENTITY e 'x'>\">]>" + kItem,
         false},
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
