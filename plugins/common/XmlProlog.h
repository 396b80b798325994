// Reads the prolog of an XML text (the part before its root element) far
// enough to tell whether its document type declares entities.
#pragma once

namespace qfplugin
{

// True when the text's document type declares an entity of any kind
// (general or parameter, internal or external), or when the prolog cannot be
// read clean up to the root element: such a text is never given to the
// parser. Declared entities are expanded without bound (a 10 KB entity used a
// few thousand times keeps the parser busy for minutes on the reader's
// thread), and a feed item has no use for them; the predefined entities and
// character references need no declaration. The reader fails closed: after
// one byte-order mark, white space, comments and processing instructions (the
// XML declaration among them), at most one document type that reads clean to
// its '>', and more of the first kind, it must reach '<' and the first
// character of a name; anything else (a second byte-order mark, stray text,
// a construct that never ends, a "<!" form it does not know) counts as
// declaring, since a lenient parser may read more into it than the grammar
// does. The reading follows the XML grammar: comments end at the first "-->"
// after their "<!--", processing instructions at the first "?>" after their
// "<?" (an XML declaration whose quotes are still open there counts as
// declaring: a parser may read its values on past that "?>"), literals at
// their own closing quote; the words "<!ENTITY" anywhere
// else (a comment, a literal, text or CDATA of the body) declare nothing. An
// empty or null text gives false: there is nothing to load.
bool DeclaresEntities(const wchar_t* text);

} // namespace qfplugin
