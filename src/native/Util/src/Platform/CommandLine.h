#pragma once

#include <string>
#include <vector>

namespace Tellan {
namespace Platform {

// The words of a Windows command line (UTF-16 units), as UTF-8, split as the
// C run time of the child would split them: blanks and tabs between words,
// double quotes group, 2n backslashes before a quote give n backslashes and
// 2n+1 give n and a literal quote; other backslashes stand as they are.
std::vector<std::string> commandLineWords(const std::wstring& commandLine);

} // namespace Platform
} // namespace Tellan
