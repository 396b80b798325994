#include "PackageFile.h"

#include <urlmon.h>

#include <cwchar>
#include <vector>

#include "ReleaseManifest.h"

namespace
{
constexpr size_t kRandomBytes = 8;
constexpr size_t kDigestBytes = 32;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

HRESULT LastError(DWORD nFallback = ERROR_GEN_FAILURE)
{
    const DWORD nError = ::GetLastError();
    return HRESULT_FROM_WIN32(nError ? nError : nFallback);
}

// A folder name of a run: the prefix and 16 hexadecimal digits, nothing else.
bool IsRunFolderName(LPCWSTR pszName)
{
    const size_t nPrefix = ARRAYSIZE(kPrivateFolderPrefix) - 1;
    if (wcslen(pszName) != nPrefix + 2 * kRandomBytes || wcsncmp(pszName, kPrivateFolderPrefix, nPrefix) != 0)
        return false;
    return wcsspn(pszName + nPrefix, L"0123456789abcdef") == 2 * kRandomBytes;
}

// The path of what a handle holds, as the system names it now, without the
// "\\?\" with which it marks such a path.
HRESULT FinalPathOf(HANDLE h, std::wstring& strPath)
{
    wchar_t szPath[MAX_PATH + 8];
    const DWORD n = ::GetFinalPathNameByHandleW(h, szPath, ARRAYSIZE(szPath), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0)
        return LastError();
    if (n >= ARRAYSIZE(szPath))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    if (wcsncmp(szPath, L"\\\\?\\UNC\\", 8) == 0)
        strPath = L"\\\\" + std::wstring(szPath + 8);
    else if (wcsncmp(szPath, L"\\\\?\\", 4) == 0)
        strPath = szPath + 4;
    else
        strPath = szPath;
    return S_OK;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// A file whose attributes say read-only (as a package sealed against
// writing may carry) is deleted all the same.
void DeleteFileAnyway(const std::wstring& strPath)
{
    if (!::DeleteFileW(strPath.c_str()) && ::SetFileAttributesW(strPath.c_str(), FILE_ATTRIBUTE_NORMAL))
        ::DeleteFileW(strPath.c_str());
}

HRESULT DeleteOnClose(HANDLE h)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof(disposition)) ? S_OK
                                                                                                   : LastError();
}

// The accounts that the private folder's DACL names.
class CAccounts
{
public:
    HRESULT Load()
    {
        unique_handle token;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.addressof()))
            return LastError();
        DWORD cbUser = 0;
        ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &cbUser);
        m_user.resize(cbUser ? cbUser : 1);
        if (!::GetTokenInformation(token.get(), TokenUser, m_user.data(), cbUser, &cbUser))
            return LastError();
        return Make(WinLocalSystemSid, m_system) && Make(WinBuiltinAdministratorsSid, m_administrators) &&
                       Make(WinCreatorOwnerRightsSid, m_ownerRights)
                   ? S_OK
                   : LastError();
    }
    PSID User() { return reinterpret_cast<TOKEN_USER*>(m_user.data())->User.Sid; }
    PSID System() { return m_system; }
    PSID Administrators() { return m_administrators; }
    PSID OwnerRights() { return m_ownerRights; }

private:
    static bool Make(WELL_KNOWN_SID_TYPE type, BYTE (&sid)[SECURITY_MAX_SID_SIZE])
    {
        DWORD cbSid = sizeof(sid);
        return ::CreateWellKnownSid(type, nullptr, sid, &cbSid) != FALSE;
    }

    std::vector<BYTE> m_user;
    BYTE m_system[SECURITY_MAX_SID_SIZE]{};
    BYTE m_administrators[SECURITY_MAX_SID_SIZE]{};
    BYTE m_ownerRights[SECURITY_MAX_SID_SIZE]{};
};

struct Grant
{
    PSID pSid;
    DWORD nAccess;
};

// A security descriptor whose DACL grants exactly what it is given and
// inherits nothing from the folders above (protected).
class CProtectedDescriptor
{
public:
    HRESULT Build(const Grant* pGrants, size_t nGrants, BYTE nInheritance)
    {
        DWORD cbAcl = sizeof(ACL);
        for (size_t i = 0; i < nGrants; ++i)
            cbAcl += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(pGrants[i].pSid);
        m_acl.resize(cbAcl);
        PACL pAcl = reinterpret_cast<PACL>(m_acl.data());
        if (!::InitializeAcl(pAcl, cbAcl, ACL_REVISION))
            return LastError();
        for (size_t i = 0; i < nGrants; ++i)
        {
            if (!::AddAccessAllowedAceEx(pAcl, ACL_REVISION, nInheritance, pGrants[i].nAccess, pGrants[i].pSid))
                return LastError();
        }
        if (!::InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&m_descriptor, TRUE, pAcl, FALSE) ||
            !::SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            return LastError();
        return S_OK;
    }
    PSECURITY_DESCRIPTOR get() { return &m_descriptor; }

private:
    std::vector<BYTE> m_acl;
    SECURITY_DESCRIPTOR m_descriptor{};
};

constexpr DWORD kReadAndRun = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;

// Deletes a dead run's folder: the files inside first, then the folder,
// through a handle that a live run's hold would have refused.
void RemoveDeadFolder(const std::wstring& strFolder)
{
    const unique_hfile folder(::CreateFileW(strFolder.c_str(), DELETE | FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!folder || !::GetFileInformationByHandle(folder.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    // Listed through the held folder: a search of its own would have to
    // share the deletion that the hold refuses.
    std::vector<LONGLONG> buffer(8 * 1024);
    FILE_INFO_BY_HANDLE_CLASS next = FileIdBothDirectoryRestartInfo;
    while (::GetFileInformationByHandleEx(folder.get(), next, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof(LONGLONG))))
    {
        next = FileIdBothDirectoryInfo;
        const BYTE* pEntry = reinterpret_cast<const BYTE*>(buffer.data());
        for (;;)
        {
            const auto& entry = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(pEntry);
            // A link inside is deleted itself, never what it points at.
            if (!(entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileAnyway(strFolder + L"\\" +
                                 std::wstring(entry.FileName, entry.FileNameLength / sizeof(wchar_t)));
            if (!entry.NextEntryOffset)
                break;
            pEntry += entry.NextEntryOffset;
        }
    }
    // Anything left inside (a package that still runs) keeps the folder.
    DeleteOnClose(folder.get());
}
} // namespace

void CPackageFile::RemoveLeftovers(const std::wstring& strTempDir)
{
    WIN32_FIND_DATAW found{};
    const unique_hfind search(::FindFirstFileW((strTempDir + kPrivateFolderPrefix + L"*").c_str(), &found));
    if (!search)
        return;
    do
    {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsRunFolderName(found.cFileName))
            RemoveDeadFolder(strTempDir + found.cFileName);
    } while (::FindNextFileW(search.get(), &found));
}

HRESULT CPackageFile::Create(const std::wstring& strTempDir, const std::wstring& strFileName,
                             ULONGLONG nExpectedLength)
{
    Discard();
    unsigned char random[kRandomBytes];
    const NTSTATUS status = ::BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!Succeeded(status))
        return HRESULT_FROM_NT(status);
    std::wstring strFolder = strTempDir + kPrivateFolderPrefix;
    for (const unsigned char byte : random)
    {
        strFolder += L"0123456789abcdef"[byte >> 4];
        strFolder += L"0123456789abcdef"[byte & 0xF];
    }

    CAccounts accounts;
    HRESULT hr = accounts.Load();
    if (FAILED(hr))
        return hr;
    const Grant grants[] = {{accounts.User(), FILE_ALL_ACCESS},
                            {accounts.System(), FILE_ALL_ACCESS},
                            {accounts.Administrators(), kReadAndRun}};
    CProtectedDescriptor descriptor;
    hr = descriptor.Build(grants, ARRAYSIZE(grants), OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    if (FAILED(hr))
        return hr;
    // (Wine keeps the DACL but enforces none, so only Windows shows it.)
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    if (!::CreateDirectoryW(strFolder.c_str(), &attributes))
        return LastError();
    m_hFolder.reset(::CreateFileW(strFolder.c_str(), DELETE | FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!m_hFolder)
    {
        hr = LastError();
        ::RemoveDirectoryW(strFolder.c_str());
        return hr;
    }

    hr = FinalPathOf(m_hFolder.get(), m_strFolder);
    if (FAILED(hr))
        return hr;
    if (m_strFolder.size() + 1 + strFileName.size() >= ARRAYSIZE(m_szFilePath))
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    ::wsprintfW(m_szFilePath, L"%s\\%s", m_strFolder.c_str(), strFileName.c_str());
    m_hPackage.reset(::CreateFileW(m_szFilePath, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, FILE_SHARE_READ,
                                   nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!m_hPackage)
        return LastError();
    m_nExpectedLength = nExpectedLength;
    return StartHash();
}

HRESULT CPackageFile::StartHash()
{
    m_hash.reset();
    if (!m_hashAlgorithm)
    {
        const NTSTATUS status = ::BCryptOpenAlgorithmProvider(m_hashAlgorithm.addressof(), BCRYPT_SHA256_ALGORITHM,
                                                              nullptr, 0);
        if (!Succeeded(status))
            return HRESULT_FROM_NT(status);
    }
    const NTSTATUS status = ::BCryptCreateHash(m_hashAlgorithm.get(), m_hash.addressof(), nullptr, 0, nullptr, 0, 0);
    return Succeeded(status) ? S_OK : HRESULT_FROM_NT(status);
}

HRESULT CPackageFile::CheckAnnouncedLength(ULONGLONG nLength) const
{
    return m_nExpectedLength == kUnknownLength || nLength == m_nExpectedLength ? S_OK : kManifestFileMismatch;
}

HRESULT CPackageFile::Write(const void* pData, DWORD nBytes)
{
    if (!m_hPackage || m_bSealed || !m_hash)
        return E_UNEXPECTED;
    bool bTooLong = false;
    if (m_nExpectedLength != kUnknownLength && nBytes > m_nExpectedLength - m_nLength)
    {
        nBytes = static_cast<DWORD>(m_nExpectedLength - m_nLength);
        bTooLong = true;
    }
    DWORD nWritten = 0;
    if (nBytes && (!::WriteFile(m_hPackage.get(), pData, nBytes, &nWritten, nullptr) || nWritten != nBytes))
        return LastError(ERROR_WRITE_FAULT);
    // CNG takes the buffer without const; it only reads it.
    const NTSTATUS status = ::BCryptHashData(m_hash.get(), static_cast<PUCHAR>(const_cast<void*>(pData)), nBytes, 0);
    if (!Succeeded(status))
        return HRESULT_FROM_NT(status);
    m_nLength += nBytes;
    return bTooLong ? kManifestFileMismatch : S_OK;
}

HRESULT CPackageFile::Restart()
{
    if (!m_hPackage || m_bSealed)
        return E_UNEXPECTED;
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(m_hPackage.get(), start, nullptr, FILE_BEGIN) || !::SetEndOfFile(m_hPackage.get()))
        return LastError();
    m_nLength = 0;
    return StartHash();
}

HRESULT CPackageFile::Digest(unsigned char (&digest)[kDigestBytes])
{
    if (!m_hash)
        return E_UNEXPECTED;
    const NTSTATUS status = ::BCryptFinishHash(m_hash.get(), digest, kDigestBytes, 0);
    m_hash.reset();
    return Succeeded(status) ? S_OK : HRESULT_FROM_NT(status);
}

HRESULT CPackageFile::Seal()
{
    if (!m_hPackage || m_bSealed)
        return E_UNEXPECTED;
    if (m_nExpectedLength != kUnknownLength && m_nLength != m_nExpectedLength)
        return kManifestFileMismatch;
    BY_HANDLE_FILE_INFORMATION written{};
    if (!::GetFileInformationByHandle(m_hPackage.get(), &written))
        return LastError();
    // While the write handle can still delete it, should it be refused.
    HRESULT hr = CheckPath();
    if (FAILED(hr))
        return hr;
    // From here nobody may open the package for writing, not even by
    // changing its DACL first: its owner keeps only the right to read it.
    CAccounts accounts;
    hr = accounts.Load();
    if (FAILED(hr))
        return hr;
    const Grant grants[] = {{accounts.User(), kReadAndRun},
                            {accounts.System(), FILE_ALL_ACCESS},
                            {accounts.Administrators(), kReadAndRun},
                            {accounts.OwnerRights(), READ_CONTROL}};
    CProtectedDescriptor descriptor;
    hr = descriptor.Build(grants, ARRAYSIZE(grants), 0);
    if (FAILED(hr))
        return hr;
    if (!::SetKernelObjectSecurity(m_hPackage.get(), DACL_SECURITY_INFORMATION, descriptor.get()))
        return LastError();

    // The write handle goes first: the read-only one may not share writing.
    m_bSealed = true;
    m_hPackage.reset();
    m_hPackage.reset(::CreateFileW(m_szFilePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!m_hPackage)
        return LastError(ERROR_FILE_NOT_FOUND);
    BY_HANDLE_FILE_INFORMATION held{};
    if (!::GetFileInformationByHandle(m_hPackage.get(), &held))
        return LastError();
    // (Another file put in its place between the two handles, which only the
    // DACLs above keep out on Windows, cannot be tried here: Wine has no ACLs
    // to keep anything out, and no test can act between the two calls.)
    if (!SameFile(written, held))
        return HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE);
    return CheckPath();
}

HRESULT CPackageFile::CheckPath() const
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!m_hPackage || !::GetFileInformationByHandle(m_hPackage.get(), &info))
        return LastError(ERROR_FILE_NOT_FOUND);
    // A link (a reparse point, or a second name for the file) could lead the
    // shell elsewhere, or let another change the file by that other name.
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        info.nNumberOfLinks != 1)
        return HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE);
    // A path that the system cannot tell is no more the path built.
    std::wstring strHeld;
    return SUCCEEDED(FinalPathOf(m_hPackage.get(), strHeld)) &&
                   ::CompareStringOrdinal(strHeld.c_str(), -1, m_szFilePath, -1, TRUE) == CSTR_EQUAL
               ? S_OK
               : HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE);
}

void CPackageFile::Release()
{
    m_hPackage.reset();
    m_hFolder.reset();
    m_szFilePath[0] = L'\0';
    m_strFolder.clear();
    m_bSealed = false;
    m_nLength = 0;
    m_hash.reset();
}

void CPackageFile::Discard()
{
    // Through our handle while it may still delete; by name once sealed.
    if (m_hPackage && !m_bSealed)
        DeleteOnClose(m_hPackage.get());
    m_hPackage.reset();
    if (m_bSealed && m_szFilePath[0])
        DeleteFileAnyway(m_szFilePath);
    if (m_hFolder)
        DeleteOnClose(m_hFolder.get());
    Release();
}
