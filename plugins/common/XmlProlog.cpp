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

bool StartsWith(const wchar_t* text, const wchar_t* prefix)
{
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
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

// Past the '>' of an element, attribute-list or notation declaration at p;
// a '>' inside a quoted literal (an attribute's default value) does not end it.
const wchar_t* SkipDeclaration(const wchar_t* p)
{
    for (p += 2; p && *p;)
    {
        if (*p == L'"' || *p == L'\'')
            p = SkipLiteral(p);
        else if (*p++ == L'>')
            return p;
    }
    return nullptr;
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
            p = SkipPast(p, 2, L"?>");
        else
            return p;
    }
    return nullptr;
}

// p follows the '[' of the internal subset. Anything in it but white space,
// comments, processing instructions and element, attribute-list and notation
// declarations counts as a declaration: an entity declaration, a reference
// to a parameter entity (which needs one), or text no parser accepts there.
bool InternalSubsetDeclaresEntities(const wchar_t* p)
{
    while ((p = SkipMisc(p)) != nullptr)
    {
        if (*p == L']')
            return false;
        if (!StartsWith(p, L"<!ELEMENT") && !StartsWith(p, L"<!ATTLIST") && !StartsWith(p, L"<!NOTATION"))
            return true;
        p = SkipDeclaration(p);
    }
    return true;
}

// p follows "<!DOCTYPE": the name and external identifier, then the internal
// subset if there is one.
bool DocumentTypeDeclaresEntities(const wchar_t* p)
{
    while (p && *p)
    {
        if (*p == L'"' || *p == L'\'')
            p = SkipLiteral(p);
        else if (*p == L'[')
            return InternalSubsetDeclaresEntities(p + 1);
        else if (*p == L'>')
            return false;
        else
            ++p;
    }
    return true;
}
} // namespace

bool DeclaresEntities(const wchar_t* text)
{
    if (!text)
        return false;
    const wchar_t* p = SkipMisc(*text == 0xFEFF ? text + 1 : text);
    // Without its end a comment or instruction lets nothing load; otherwise
    // the root element, or text no parser takes for a prolog, follows.
    return p && StartsWith(p, L"<!DOCTYPE") && DocumentTypeDeclaresEntities(p + 9);
}

} // namespace qfplugin
