#pragma once

// Appending to wide text as a wide output stream with default flags writes:
// narrow bytes each as the character of the same value, numbers in the "C"
// locale's form whatever the process's locale. For the log line and the
// statement text, which are built without a stream.

#include <charconv>
#include <string>

namespace Tellan {
namespace WideAppend {

inline void bytes(std::wstring& out, const char* begin, const char* end)
{
    out.reserve(out.size() + static_cast<std::size_t>(end - begin));
    for (; begin != end; ++begin)
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*begin)));
}

template <class Integer>
void integer(std::wstring& out, Integer value)
{
    char digits[24];
    bytes(out, digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// printf's "%.6g": six significant digits, trailing zeros dropped, exponent
// form below 1e-4 and from 1e6 on. A float is widened first, as the stream
// does.
inline void floating(std::wstring& out, double value)
{
    char digits[32];
    bytes(out, digits, std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6).ptr);
}

} // namespace WideAppend
} // namespace Tellan
