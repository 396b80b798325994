// Text between UTF-16 and UTF-8: what the tools, benchmarks and tests write
// into their records and read from item files.
#pragma once

#include <string>

namespace qfsupport
{

std::string Utf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& bytes);

} // namespace qfsupport
