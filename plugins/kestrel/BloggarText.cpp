#include "BloggarText.h"

#include "Kestrel.h"

#include <cstring>
#include <cwchar>

namespace qfplugin
{

namespace
{
LONG volatile g_nCodePageRule = static_cast<LONG>(CodePageRule::Undecided);

// Whether the character (one unit, or a surrogate pair) has an exact byte
// sequence in the code page, rather than a best fit or the default character.
bool ConvertsExactly(const wchar_t* p, int units, UINT codePage)
{
    if (units == 1 && *p < 0x80)
        return true; // every ANSI code page keeps ASCII as it is
    char bytes[8];
    BOOL usedDefault = FALSE;
    if (::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, p, units, bytes, sizeof(bytes), nullptr, &usedDefault) >
        0)
        return !usedDefault;
    // UTF-8 and the other code pages that refuse these flags have a byte
    // sequence for every character and no best fit.
    const DWORD error = ::GetLastError();
    return error == ERROR_INVALID_FLAGS || error == ERROR_INVALID_PARAMETER;
}

CodePageRule SystemCodePageRule()
{
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996) // only the platform and the major version are asked for
#endif
    if (!::GetVersionExW(&version))
        return CodePageRule::ThreadAnsi;
    return CodePageRuleFor(version.dwPlatformId, version.dwMajorVersion);
}
} // namespace

std::wstring FormatQuotation(const FeedItem& item, UINT codePage)
{
    std::wstring quotation = L"<blockquote><a href='";
    for (const wchar_t* p = item.m_strLink.c_str(); *p;)
    {
        const int units = IS_HIGH_SURROGATE(p[0]) && IS_LOW_SURROGATE(p[1]) ? 2 : 1;
        if (*p == L'\'' || !ConvertsExactly(p, units, codePage))
        {
            const unsigned long codePoint = units == 2 ? 0x10000 + ((p[0] - 0xD800ul) << 10) + (p[1] - 0xDC00ul)
                                                       : p[0];
            quotation += L"&#" + std::to_wstring(codePoint) + L";";
        }
        else
        {
            quotation.append(p, static_cast<std::size_t>(units));
        }
        p += units;
    }
    quotation += L"'>";
    quotation += item.m_strTitle.c_str();
    quotation += L"</a><br>";
    quotation += item.m_strDescription.c_str();
    quotation += L"</blockquote>";
    return quotation;
}

CodePageRule CodePageRuleFor(DWORD platformId, DWORD majorVersion)
{
    return platformId == VER_PLATFORM_WIN32_NT && majorVersion >= 5 ? CodePageRule::ThreadAnsi
                                                                    : CodePageRule::LocaleDefault;
}

CodePageRule ProcessCodePageRule()
{
    LONG rule = ::InterlockedCompareExchange(&g_nCodePageRule, 0, 0);
    if (rule == static_cast<LONG>(CodePageRule::Undecided))
    {
        rule = static_cast<LONG>(SystemCodePageRule());
        ::InterlockedExchange(&g_nCodePageRule, rule);
    }
    return static_cast<CodePageRule>(rule);
}

UINT ParseAnsiCodePage(const wchar_t* localeText, UINT systemCodePage)
{
    if (!localeText)
        return systemCodePage;
    UINT codePage = 0;
    const wchar_t* p = localeText;
    for (; *p >= L'0' && *p <= L'9' && codePage < 100000; ++p)
        codePage = codePage * 10 + static_cast<UINT>(*p - L'0');
    return codePage == 0 || *p != L'\0' ? systemCodePage : codePage;
}

UINT QuotationCodePage()
{
    if (ProcessCodePageRule() == CodePageRule::ThreadAnsi)
        return CP_THREAD_ACP;
    wchar_t text[8]{};
    if (!::GetLocaleInfoW(::GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, text, 8))
        return ::GetACP();
    return ParseAnsiCodePage(text, ::GetACP());
}

std::string ToNarrow(const std::wstring& text, UINT codePage)
{
    if (text.empty())
        return {};
    // Measured first: a code page of up to four bytes a character (UTF-8 as
    // the system code page) needs more than two bytes for each character.
    const int length = static_cast<int>(text.size());
    const int size = ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(size), '\0');
    if (::WideCharToMultiByte(codePage, 0, text.data(), length, narrow.data(), size, nullptr, nullptr) != size)
        return {};
    return narrow;
}

unique_hfile CreateQuotationFile(const wchar_t* folder, UINT first, wchar_t (&path)[MAX_PATH])
{
    for (UINT n = 0; n < 0xFFFF; ++n)
    {
        // With a number given (1 to 0xFFFF), GetTempFileNameW only makes the name.
        if (!::GetTempFileNameW(folder, L"w", 1 + (first + n) % 0xFFFF, path))
            break;
        unique_hfile file(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                        FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file)
            return file;
        // Any other failure would come again for every name (a missing
        // folder, one the user may not write): only time would be lost.
        if (::GetLastError() != ERROR_FILE_EXISTS)
            break;
    }
    path[0] = L'\0';
    return {};
}

std::wstring InstallFolderFromValue(LONG status, DWORD type, const BYTE* data, DWORD size)
{
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || !data)
        return {};
    if (size < sizeof(wchar_t) || size % sizeof(wchar_t) != 0 || size > kInstallFolderChars * sizeof(wchar_t))
        return {};
    const std::size_t chars = size / sizeof(wchar_t);
    std::wstring value(chars, L'\0');
    std::memcpy(value.data(), data, size);
    if (value.back() != L'\0')
        return {};
    // Used as stored, up to its first zero.
    value.resize(std::wcslen(value.c_str()));
    return value;
}

std::wstring EditorProgramPath(const std::wstring& folder)
{
    const auto isSeparator = [](wchar_t ch) { return ch == L'\\' || ch == L'/'; };
    const auto isLetter = [](wchar_t ch) { return (ch >= L'a' && ch <= L'z') || (ch >= L'A' && ch <= L'Z'); };
    const bool drive = folder.size() >= 3 && isLetter(folder[0]) && folder[1] == L':' && isSeparator(folder[2]);
    const bool share = folder.size() >= 3 && isSeparator(folder[0]) && isSeparator(folder[1]);
    if ((!drive && !share) || folder.find(L'"') != std::wstring::npos)
        return {};
    std::wstring program = folder + L'\\' + kestrel::kEditorProgram;
    return program.size() < MAX_PATH ? program : std::wstring();
}

bool FormatCommandLine(const wchar_t* program, const wchar_t* file, wchar_t* buffer, std::size_t chars)
{
    static const wchar_t kBetween[] = L"\" \"";
    const std::size_t programLength = std::wcslen(program);
    const std::size_t fileLength = std::wcslen(file);
    const std::size_t betweenLength = sizeof(kBetween) / sizeof(wchar_t) - 1;
    const std::size_t needed = 1 + programLength + betweenLength + fileLength + 1 + 1;
    if (needed > chars)
        return false;
    wchar_t* p = buffer;
    *p++ = L'"';
    p = std::wmemcpy(p, program, programLength) + programLength;
    p = std::wmemcpy(p, kBetween, betweenLength) + betweenLength;
    p = std::wmemcpy(p, file, fileLength) + fileLength;
    *p++ = L'"';
    *p = L'\0';
    return true;
}

} // namespace qfplugin
