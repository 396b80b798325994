#include "ItemExtraction.h"

#include "XmlProlog.h"

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
    // MSXML 3.0 resolves external references by default (and validates
    // against the DTD it fetched): on Windows an item's document type or
    // entities could make the reader's machine fetch from any web server,
    // send the user's credentials to the host of a "\\host\share" path, or
    // copy a local file into the text the user then publishes. An item needs
    // nothing beyond its own text.
    CheckResult(item.m_document->put_resolveExternals(VARIANT_FALSE), item.m_document.get(), IID_XmlDomDocument);
    CheckResult(item.m_document->put_validateOnParse(VARIANT_FALSE), item.m_document.get(), IID_XmlDomDocument);

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
