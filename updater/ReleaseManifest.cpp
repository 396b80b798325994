// The manifest's format, the refusal texts, the per-user record and the
// lookups. The signature and the hashes, which need CNG, are in
// ReleaseManifestSignature.cpp, so that a build without the key links none
// of it.
#include "ReleaseManifest.h"

#include <cstring>

#include "Owners.h"

const wchar_t kManifestPath[] = L"/dist/release.manifest";
const wchar_t kManifestSignaturePath[] = L"/dist/release.manifest.sig";
const wchar_t kWhatsNewFileName[] = L"whatsnew.txt";

namespace
{
const char kHeaderLine[] = "Quillfeed release manifest 1";
constexpr size_t kMaxNameChars = 64;
constexpr size_t kMaxSizeDigits = 15;
constexpr size_t kTimeChars = sizeof("YYYY-MM-DDTHH:MM:SSZ") - 1;

const wchar_t kUpdateKey[] = L"Software\\Quillfeed\\Update";
const wchar_t kAcceptedReleaseValue[] = L"AcceptedRelease";

struct RefusalText
{
    HRESULT hr;
    LPCWSTR pszText;
};

// The one table of the program's own failure texts.
const RefusalText kRefusalTexts[] = {
    {kManifestMissing, L"The publisher's release manifest or its signature could not be fetched."},
    {kManifestBadSignature, L"The release manifest is not signed by the publisher."},
    {kManifestWrongProduct, L"The release manifest is not for Quillfeed."},
    {kManifestExpired, L"The publisher's release manifest has expired. Please tell the publisher."},
    {kManifestRolledBack, L"The release offered is older than one already accepted on this computer."},
    {kManifestFileNotListed, L"The release manifest does not list this file."},
    {kManifestFileMismatch, L"The file is not the one the release manifest lists (its size or SHA-256 differs)."},
    {kManifestMalformed, L"The publisher's release manifest is not in the expected format."},
};

// The fields of one line, parted by spaces. Two spaces in a row, or one at
// either end, make an empty field, which no field's rule takes.
void SplitFields(const std::string& line, std::vector<std::string>& fields)
{
    fields.clear();
    size_t nStart = 0;
    for (;;)
    {
        const size_t nSpace = line.find(' ', nStart);
        fields.push_back(line.substr(nStart, nSpace == std::string::npos ? std::string::npos : nSpace - nStart));
        if (nSpace == std::string::npos)
            return;
        nStart = nSpace + 1;
    }
}

bool IsName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameChars || name[0] == '.')
        return false;
    for (const char c : name)
    {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-'))
            return false;
    }
    return true;
}

// Decimal digits only, no leading zero, at most nMaxDigits and nMax.
bool ParseNumber(const std::string& text, size_t nMaxDigits, ULONGLONG nMax, ULONGLONG& nValue)
{
    if (text.empty() || text.size() > nMaxDigits || (text[0] == '0' && text.size() > 1))
        return false;
    nValue = 0;
    for (const char c : text)
    {
        if (c < '0' || c > '9')
            return false;
        nValue = nValue * 10 + static_cast<ULONGLONG>(c - '0');
    }
    return nValue <= nMax;
}

bool ParseDigits(const std::string& text, size_t nAt, size_t nDigits, unsigned nMin, unsigned nMax, unsigned& nValue)
{
    nValue = 0;
    for (size_t i = nAt; i < nAt + nDigits; ++i)
    {
        if (text[i] < '0' || text[i] > '9')
            return false;
        nValue = nValue * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return nValue >= nMin && nValue <= nMax;
}

unsigned DaysInMonth(unsigned nYear, unsigned nMonth)
{
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    return nMonth == 2 && bLeap ? 29 : kDays[nMonth - 1];
}

ULONGLONG TimeNumber(unsigned nYear, unsigned nMonth, unsigned nDay, unsigned nHour, unsigned nMinute,
                     unsigned nSecond)
{
    return ((((static_cast<ULONGLONG>(nYear) * 100 + nMonth) * 100 + nDay) * 100 + nHour) * 100 + nMinute) * 100 +
           nSecond;
}

// YYYY-MM-DDTHH:MM:SSZ
bool ParseTime(const std::string& text, ULONGLONG& nTime)
{
    if (text.size() != kTimeChars || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z')
        return false;
    unsigned nYear, nMonth, nDay, nHour, nMinute, nSecond;
    if (!ParseDigits(text, 0, 4, 1970, 9999, nYear) || !ParseDigits(text, 5, 2, 1, 12, nMonth) ||
        !ParseDigits(text, 11, 2, 0, 23, nHour) || !ParseDigits(text, 14, 2, 0, 59, nMinute) ||
        !ParseDigits(text, 17, 2, 0, 59, nSecond) || !ParseDigits(text, 8, 2, 1, DaysInMonth(nYear, nMonth), nDay))
        return false;
    nTime = TimeNumber(nYear, nMonth, nDay, nHour, nMinute, nSecond);
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool ParseSha256(const std::string& text, unsigned char (&digest)[32])
{
    if (text.size() != 2 * sizeof(digest))
        return false;
    for (size_t i = 0; i < sizeof(digest); ++i)
    {
        const int nHigh = HexDigit(text[2 * i]);
        const int nLow = HexDigit(text[2 * i + 1]);
        if (nHigh < 0 || nLow < 0)
            return false;
        digest[i] = static_cast<unsigned char>(nHigh << 4 | nLow);
    }
    return true;
}

// "KEYWORD VALUE" and nothing else.
bool KeywordLine(const std::string& line, const char* pszKeyword, std::string& value)
{
    std::vector<std::string> fields;
    SplitFields(line, fields);
    if (fields.size() != 2 || fields[0] != pszKeyword)
        return false;
    value = fields[1];
    return true;
}

HRESULT ParseLines(const std::vector<std::string>& lines, ReleaseManifest& manifest)
{
    std::string product, release, expires;
    ULONGLONG nRelease = 0;
    if (lines.size() < 4 || lines[0] != kHeaderLine || !KeywordLine(lines[1], "product", product) ||
        !IsName(product) || !KeywordLine(lines[2], "release", release) ||
        !ParseNumber(release, 10, MAXDWORD, nRelease) || !KeywordLine(lines[3], "expires", expires) ||
        !ParseTime(expires, manifest.nExpires))
        return kManifestMalformed;
    manifest.strProduct = product;
    manifest.nRelease = static_cast<DWORD>(nRelease);
    std::vector<std::string> fields;
    for (size_t i = 4; i < lines.size(); ++i)
    {
        ManifestFile file;
        SplitFields(lines[i], fields);
        if (fields.size() != 4 || fields[0] != "file" || !IsName(fields[1]) ||
            !ParseNumber(fields[2], kMaxSizeDigits, ~0ULL, file.nSize) || !ParseSha256(fields[3], file.sha256))
            return kManifestMalformed;
        file.strName = fields[1];
        for (const ManifestFile& listed : manifest.files)
        {
            // Which of two entries would count is anybody's guess.
            if (listed.strName == file.strName)
                return kManifestMalformed;
        }
        manifest.files.push_back(file);
    }
    return S_OK;
}

// The entry of a file by the name the program knows it under; names are
// ASCII, so a name with any other character is never listed.
const ManifestFile* FindFile(const ReleaseManifest& manifest, const std::wstring& strName)
{
    for (const ManifestFile& file : manifest.files)
    {
        if (file.strName.size() != strName.size())
            continue;
        size_t i = 0;
        while (i < strName.size() && static_cast<wchar_t>(file.strName[i]) == strName[i])
            ++i;
        if (i == strName.size())
            return &file;
    }
    return nullptr;
}
} // namespace

LPCWSTR ReleaseRefusalText(HRESULT hr)
{
    for (const RefusalText& entry : kRefusalTexts)
    {
        if (entry.hr == hr)
            return entry.pszText;
    }
    return nullptr;
}

HRESULT ParseReleaseManifest(const std::string& text, ReleaseManifest& manifest)
{
    // Every field's rule takes printable ASCII only, so no other byte passes.
    if (text.empty() || text.size() > kMaxManifestBytes || text.back() != '\n')
        return kManifestMalformed;
    std::vector<std::string> lines;
    for (size_t nStart = 0; nStart < text.size();)
    {
        // Found: the text ends in an LF.
        const size_t nEnd = text.find('\n', nStart);
        lines.push_back(text.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    ReleaseManifest parsed;
    const HRESULT hr = ParseLines(lines, parsed);
    if (hr == S_OK)
        manifest = std::move(parsed);
    return hr;
}

ULONGLONG ManifestTime(const SYSTEMTIME& utc)
{
    return TimeNumber(utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
}

DWORD AcceptedReleaseOfUser()
{
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kUpdateKey, 0, KEY_QUERY_VALUE, key.addressof()) != ERROR_SUCCESS)
        return 0;
    DWORD nType = 0;
    DWORD nValue = 0;
    DWORD nBytes = sizeof(nValue);
    if (::RegQueryValueExW(key.get(), kAcceptedReleaseValue, nullptr, &nType, reinterpret_cast<BYTE*>(&nValue),
                           &nBytes) != ERROR_SUCCESS ||
        nType != REG_DWORD || nBytes != sizeof(nValue))
        return 0;
    return nValue;
}

HRESULT RecordAcceptedRelease(DWORD nRelease)
{
    if (nRelease <= AcceptedReleaseOfUser())
        return S_OK;
    unique_hkey key;
    LONG nError = ::RegCreateKeyExW(HKEY_CURRENT_USER, kUpdateKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                    nullptr, key.addressof(), nullptr);
    if (nError == ERROR_SUCCESS)
        nError = ::RegSetValueExW(key.get(), kAcceptedReleaseValue, 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&nRelease), sizeof(nRelease));
    return HRESULT_FROM_WIN32(nError);
}

HRESULT CReleaseCheck::Expected(const std::wstring& strName, ExpectedFile& file) const
{
    if (!m_bRequired)
        return S_FALSE;
    if (m_hrRefusal != S_OK)
        return m_hrRefusal;
    const ManifestFile* pListed = FindFile(m_manifest, strName);
    if (!pListed)
        return kManifestFileNotListed;
    file.nSize = pListed->nSize;
    std::memcpy(file.sha256, pListed->sha256, sizeof(file.sha256));
    return S_OK;
}

HRESULT CReleaseCheck::RecordHandOff() const
{
    if (!m_bRequired || m_hrRefusal != S_OK)
        return S_FALSE;
    return RecordAcceptedRelease(m_manifest.nRelease);
}
