// Reads the prolog of an XML text (the part before its root element) far
// enough to tell whether its document type declares entities.
#pragma once

namespace qfplugin
{

// True when the text's document type declares an entity of any kind
// (general or parameter, internal or external), or when the document type
// cannot be read to its end: such a text is never given to the parser.
// Declared entities are expanded without bound (a 10 KB entity used a few
// thousand times keeps the parser busy for minutes on the reader's thread),
// and a feed item has no use for them; the predefined entities and
// character references need no declaration. The reading follows the XML
// grammar: comments end at the first "-->" after their "<!--", processing
// instructions at the first "?>" after their "<?", literals at their own
// closing quote; the words "<!ENTITY" anywhere else (a comment, a literal,
// text or CDATA of the body) declare nothing.
bool DeclaresEntities(const wchar_t* text);

} // namespace qfplugin
