// Reads a feed item's title, description and link out of its RSS text with
// the MSXML 3.0 DOM.
#pragma once

#include "ComSupport.h"
#include "FeedItem.h"

#include <msxml2.h>

namespace qfplugin
{

// The interface ids the extraction uses (no import library carries them here).
extern const IID IID_XmlDomNode;      // IXMLDOMNode
extern const IID IID_XmlDomDocument;  // IXMLDOMDocument
extern const IID IID_XmlDomDocument2; // IXMLDOMDocument2

// The document the texts are read from.
struct ItemDocument
{
    com_ptr<IXMLDOMDocument2> m_document;
};

// The document is the first base so that it is released last, after the
// texts read from it (bases go in the reverse order of their declaration).
// The texts are strings of their own, so the order shows in nothing a test
// can see; it is the order the design fixes.
struct ExtractedItem : ItemDocument, FeedItem
{
};

// Each text is the one of the first item in the document that has that
// element, exactly as MSXML gives it. Raises _com_error (E_POINTER when the
// text is not well-formed or an element is missing) or bad_alloc. COM must be
// initialised on the calling thread.
ExtractedItem ExtractItem(const wchar_t* itemText);

} // namespace qfplugin
