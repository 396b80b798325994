// The package file, ours from its first byte to the installer's start: a
// private folder of its own under the temporary folder, the file created
// there by us and written through our own handle, its SHA-256 taken as the
// bytes arrive, held until the shell has it, and removed with its folder when
// the run fails or stops.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <string>

#include "Owners.h"

// The folder names of the runs: this prefix and 16 hexadecimal digits.
constexpr wchar_t kPrivateFolderPrefix[] = L"QuillfeedUpdate-";

// The private folder and the package in it. Why each step is as it is:
// - The folder's name is random (BCryptGenRandom), and it is made with
//   CreateDirectoryW, which fails rather than reuse a folder someone made
//   first, with a protected DACL of its own: the user of the program's token
//   and SYSTEM have full access, inherited by the package; Administrators may
//   read and run it (an installer elevated with another account's consent
//   reads its own file). Nobody else can read, plant or change anything in it.
// - The folder is held open without delete sharing for the run's life:
//   nobody can rename it or remove it under us, and the clean-up at the next
//   start tells a live run's folder (it cannot be opened for deletion) from a
//   dead one's.
// - Its path is the one the system gives for the held folder
//   (GetFinalPathNameByHandleW: the temporary folder may be given in short
//   8.3 names), and the package's path is built from it.
// - The package is created new (CREATE_NEW) and written only through our
//   handle, which shares nothing but reading: nobody else can write it, map
//   it writable, replace it or rename it while the bytes arrive.
// - Sealed after the last byte: the package's own DACL then lets nobody write
//   it (its owner's implicit right to change that DACL taken away too), and
//   the write handle gives way to a read-only one that again shares only
//   reading. The shell cannot start a program that someone holds open for
//   writing, so the write handle cannot be the one held through the hand-off.
//   The new handle is checked to be the same file (no other file put in its
//   place in between), with one name, no reparse point, at the path built.
class CPackageFile
{
public:
    static constexpr ULONGLONG kUnknownLength = ~0ull;

    CPackageFile() = default;
    // A package not released is discarded.
    ~CPackageFile() { Discard(); }
    CPackageFile(const CPackageFile&) = delete;
    CPackageFile& operator=(const CPackageFile&) = delete;

    // Removes the folders that earlier runs left in strTempDir (a
    // separator at its end) and that nobody holds: the files inside first.
    // A folder that another run holds, a reparse point, or one that keeps
    // something that cannot go (a package that still runs) stays.
    static void RemoveLeftovers(const std::wstring& strTempDir);

    // Makes the run's private folder in strTempDir and creates the package
    // strFileName in it. nExpectedLength, when the exact length is known in
    // advance (the release manifest lists it), is enforced: a byte more fails
    // at once, and so does a body announced with another length.
    HRESULT Create(const std::wstring& strTempDir, const std::wstring& strFileName,
                   ULONGLONG nExpectedLength = kUnknownLength);
    // Before a whole body of nLength bytes is written: kManifestFileMismatch
    // when that is not the expected length.
    HRESULT CheckAnnouncedLength(ULONGLONG nLength) const;
    // Appends bytes, and feeds them into the SHA-256. Past the expected
    // length only the bytes up to it are written, and the call fails
    // (kManifestFileMismatch).
    HRESULT Write(const void* pData, DWORD nBytes);
    // Empty again, the hash started afresh: the server sent a whole new body.
    HRESULT Restart();
    ULONGLONG Length() const { return m_nLength; }
    // The SHA-256 of the bytes written; once, after the last of them.
    HRESULT Digest(unsigned char (&digest)[32]);
    // After the last byte: see "Sealed" above. Fails when the package is
    // shorter than its expected length (kManifestFileMismatch), or is not the file written at the
    // path built (HRESULT_FROM_WIN32(ERROR_CANT_ACCESS_FILE)).
    HRESULT Seal();
    // The held package is, as the system names it now, at the path built:
    // no folder on the way has been renamed or re-pointed.
    HRESULT CheckPath() const;

    // Empty until Create has made the folder.
    LPCWSTR Path() const { return m_szFilePath; }
    const std::wstring& Folder() const { return m_strFolder; }
    // After the hand-off: the handles go, the package and its folder stay for
    // the installer (the clean-up of a later run removes them).
    void Release();
    // The package and its folder are deleted (a failed or stopped run).
    void Discard();

private:
    HRESULT StartHash();

    WCHAR m_szFilePath[MAX_PATH]{};
    std::wstring m_strFolder;
    unique_hfile m_hFolder;
    unique_hfile m_hPackage;
    bool m_bSealed = false;
    ULONGLONG m_nLength = 0;
    ULONGLONG m_nExpectedLength = kUnknownLength;
    unique_bcrypt_algorithm m_hashAlgorithm;
    unique_bcrypt_hash m_hash;
};
