#include "ItemExtraction.h"

#include <cwchar>
#include <cwctype>

namespace qfplugin
{

const IID IID_XmlDomNode = {0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID IID_XmlDomDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID IID_XmlDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

namespace
{
const wchar_t kDocumentProgId[] = L"MSXML2.DOMDocument.3.0";
const wchar_t kTitleQuery[] = L"/rss/channel/item/title";
const wchar_t kDescriptionQuery[] = L"/rss/channel/item/description";
const wchar_t kLinkQuery[] = L"/rss/channel/item/link";

bool StartsWith(const wchar_t* text, const wchar_t* prefix)
{
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// True when the text's prolog declares entities of its own. MSXML expands
// them without bound: a 10 KB entity used a few thousand times keeps the
// parser busy for minutes on the reader's thread, so such a text is not
// loaded at all. Feed items have no use for declared entities; the
// predefined ones and character references are not affected.
bool DeclaresEntities(const wchar_t* text)
{
    if (!text)
        return false;
    const wchar_t* p = text;
    while (*p)
    {
        if (*p == 0xFEFF || std::iswspace(*p))
        {
            ++p;
        }
        else if (StartsWith(p, L"<?") || StartsWith(p, L"<!--"))
        {
            const bool bComment = p[1] == L'!';
            const wchar_t* end = std::wcsstr(p + 2, bComment ? L"-->" : L"?>");
            if (!end)
                return false;
            p = end + (bComment ? 3 : 2);
        }
        else if (StartsWith(p, L"<!DOCTYPE"))
        {
            // Declarations can only stand in the document type's internal
            // subset; elsewhere the words can appear only in comments or
            // CDATA sections, which a document with a doctype rarely has.
            return std::wcsstr(p, L"<!ENTITY") != nullptr;
        }
        else
        {
            return false; // the root element: the prolog had no document type
        }
    }
    return false;
}

shared_bstr SelectText(const com_ptr<IXMLDOMDocument2>& document, const wchar_t* query)
{
    const shared_bstr queryText(query);
    com_ptr<IXMLDOMNode> node;
    CheckResult(document->selectSingleNode(queryText.get(), node.put()), document.get(), IID_XmlDomNode);
    // No match gives S_FALSE and no node: the holder's first use raises E_POINTER.
    BSTR text = nullptr;
    CheckResult(node->get_text(&text), node.get(), IID_XmlDomNode);
    return shared_bstr::attach(text);
}
} // namespace

ExtractedItem ExtractItem(const wchar_t* itemText)
{
    ExtractedItem item;
    CreateInstance(item.m_document, kDocumentProgId, IID_XmlDomDocument2);

    const shared_bstr xml(itemText);
    // The success flag is not needed: text that does not parse leaves the
    // document empty, and the title query then finds nothing.
    if (!DeclaresEntities(itemText))
    {
        VARIANT_BOOL loaded = VARIANT_FALSE;
        CheckResult(item.m_document->loadXML(xml.get(), &loaded), item.m_document.get(), IID_XmlDomDocument);
    }

    item.m_strTitle = SelectText(item.m_document, kTitleQuery);
    item.m_strDescription = SelectText(item.m_document, kDescriptionQuery);
    item.m_strLink = SelectText(item.m_document, kLinkQuery);
    return item;
}

} // namespace qfplugin
