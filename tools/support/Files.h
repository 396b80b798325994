// Files and folders as the tools, benchmarks and tests use them: the running
// program's folder, scratch folders that go with their contents, and whole
// files read and written as bytes.
#pragma once

#include <string>

namespace qfsupport
{

// The folder of the running program (build/bin for the tools and tests).
std::wstring ModuleFolder();

// A fresh empty folder under the temporary folder, named "<prefix>-<process
// id>-<number>", removed with its contents when the object goes.
class ScratchDir
{
public:
    explicit ScratchDir(const std::wstring& prefix = L"qftest");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::wstring& path() const { return m_path; }
    std::wstring file(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// The whole file; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

} // namespace qfsupport
