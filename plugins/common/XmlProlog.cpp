#include "XmlProlog.h"

#include <cwchar>

namespace qfplugin
{

namespace
{
bool IsXmlSpace(wchar_t ch)
{
    return ch == L' ' || ch == L'\t' || ch == L'\r' || ch == L'\n';
}

// The characters a name may start with (XML 1.0, fifth edition); a character
// of the planes 1 to 14 comes as a surrogate pair.
bool IsNameStart(const wchar_t* p)
{
    const unsigned ch = *p;
    return (ch >= L'a' && ch <= L'z') || (ch >= L'A' && ch <= L'Z') || ch == L'_' || ch == L':' ||
           (ch >= 0xC0 && ch <= 0xD6) || (ch >= 0xD8 && ch <= 0xF6) || (ch >= 0xF8 && ch <= 0x2FF) ||
           (ch >= 0x370 && ch <= 0x37D) || (ch >= 0x37F && ch <= 0x1FFF) || ch == 0x200C || ch == 0x200D ||
           (ch >= 0x2070 && ch <= 0x218F) || (ch >= 0x2C00 && ch <= 0x2FEF) || (ch >= 0x3001 && ch <= 0xD7FF) ||
           (ch >= 0xF900 && ch <= 0xFDCF) || (ch >= 0xFDF0 && ch <= 0xFFFD) ||
           (ch >= 0xD800 && ch <= 0xDB7F && p[1] >= 0xDC00 && p[1] <= 0xDFFF);
}

// What may stand outside the literals of a document type's name and external
// identifier, and of an element, attribute-list or notation declaration:
// names, white space and the punctuation of content models and attribute
// types. Loose beyond ASCII (any such character passes as part of a name):
// only ASCII characters ('<', '%', '&', '[', ...) give markup its structure.
bool IsDeclarationText(wchar_t ch)
{
    return (ch >= L'a' && ch <= L'z') || (ch >= L'A' && ch <= L'Z') || (ch >= L'0' && ch <= L'9') || ch >= 0x80 ||
           IsXmlSpace(ch) || (ch != L'\0' && std::wcschr(L"_:.-()|,?*+#", ch));
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix)
{
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// Past the keyword at p and the white space that must follow it, or null.
const wchar_t* SkipKeyword(const wchar_t* p, const wchar_t* keyword)
{
    const std::size_t length = std::wcslen(keyword);
    return StartsWith(p, keyword) && IsXmlSpace(p[length]) ? p + length : nullptr;
}

// Past the first close after the opening of nOpen characters at p, or null
// when the text ends first. "<!-->" does not end the comment it opens.
const wchar_t* SkipPast(const wchar_t* p, std::size_t nOpen, const wchar_t* close)
{
    const wchar_t* end = std::wcsstr(p + nOpen, close);
    return end ? end + std::wcslen(close) : nullptr;
}

// Past the closing quote of the literal that opens at p, or null.
const wchar_t* SkipLiteral(const wchar_t* p)
{
    const wchar_t* end = std::wcschr(p + 1, *p);
    return end ? end + 1 : nullptr;
}

// Past the declaration text at p and its quoted literals (a '>' inside one,
// an attribute's default value or a system literal, ends nothing): at the
// first character that is neither, or null when a literal never ends.
const wchar_t* SkipDeclarationText(const wchar_t* p)
{
    while (p)
    {
        if (*p == L'"' || *p == L'\'')
            p = SkipLiteral(p);
        else if (IsDeclarationText(*p))
            ++p;
        else
            break;
    }
    return p;
}

// Past the '>' that ends the declaration text at p. Null when the text holds
// anything a declaration cannot: a declaration that never ended runs into the
// next one's '<'.
const wchar_t* SkipDeclaration(const wchar_t* p)
{
    p = SkipDeclarationText(p);
    return p && *p == L'>' ? p + 1 : nullptr;
}

// "<?xml" and white space, in any case: what a parser may take for the XML
// declaration.
bool IsXmlDeclaration(const wchar_t* p)
{
    return p[0] == L'<' && p[1] == L'?' && (p[2] | 0x20) == L'x' && (p[3] | 0x20) == L'm' && (p[4] | 0x20) == L'l' &&
           IsXmlSpace(p[5]);
}

// Past the processing instruction at p, or null. It ends at the first "?>"
// after its "<?", as the grammar has it. A parser that reads the XML
// declaration's pseudo-attributes as quoted values reads on past a "?>"
// inside a quote, into what this reader takes for the root element: so a
// declaration whose quotes are still open at its "?>" is refused.
const wchar_t* SkipInstruction(const wchar_t* p)
{
    const wchar_t* end = SkipPast(p, 2, L"?>");
    if (!end || !IsXmlDeclaration(p))
        return end;
    const wchar_t* close = end - 2;
    const wchar_t* q = p + 5;
    while (q && q < close)
        q = *q == L'"' || *q == L'\'' ? SkipLiteral(q) : q + 1;
    return q == close ? end : nullptr;
}

// Past the white space, comments and processing instructions at p (the XML
// declaration reads as one); null when one of them does not end.
const wchar_t* SkipMisc(const wchar_t* p)
{
    while (p)
    {
        if (IsXmlSpace(*p))
            ++p;
        else if (StartsWith(p, L"<!--"))
            p = SkipPast(p, 4, L"-->");
        else if (StartsWith(p, L"<?"))
            p = SkipInstruction(p);
        else
            return p;
    }
    return nullptr;
}

// p follows the '[' of the internal subset: past its ']', or null. White
// space, comments, processing instructions and element, attribute-list and
// notation declarations are read over; anything else (an entity declaration,
// a reference to a parameter entity, which needs one, or text no parser
// takes) gives null.
const wchar_t* SkipInternalSubset(const wchar_t* p)
{
    while ((p = SkipMisc(p)) != nullptr && *p != L']')
    {
        const wchar_t* body = SkipKeyword(p, L"<!ELEMENT");
        if (!body)
            body = SkipKeyword(p, L"<!ATTLIST");
        if (!body)
            body = SkipKeyword(p, L"<!NOTATION");
        p = body ? SkipDeclaration(body) : nullptr;
    }
    return p ? p + 1 : nullptr;
}

// p is at "<!DOCTYPE": past the '>' of a document type that declares no
// entity and reads clean to its end, or null.
const wchar_t* SkipDocumentType(const wchar_t* p)
{
    p = SkipDeclarationText(SkipKeyword(p, L"<!DOCTYPE"));
    if (p && *p == L'[')
    {
        p = SkipInternalSubset(p + 1);
        while (p && IsXmlSpace(*p))
            ++p;
    }
    return p && *p == L'>' ? p + 1 : nullptr;
}
} // namespace

bool DeclaresEntities(const wchar_t* text)
{
    // Nothing to load either way: the title query finds no element.
    if (!text || !*text)
        return false;
    const wchar_t* p = SkipMisc(*text == 0xFEFF ? text + 1 : text);
    if (p && StartsWith(p, L"<!DOCTYPE"))
        p = SkipMisc(SkipDocumentType(p));
    return !(p && p[0] == L'<' && IsNameStart(p + 1));
}

} // namespace qfplugin
