#pragma once

// Wide text inside the programs holds UTF-16 code units, one per wchar_t, as
// it does on Windows: a character outside the BMP is two units (a surrogate
// pair), and results defined per UTF-16 unit stay the same on Linux.

#include <QString>
#include <string>

namespace Tellan {
namespace Text {

// Each UTF-16 unit of the text becomes one wchar_t.
std::wstring toWide(const QString& text);

// The inverse; a wchar_t above U+FFFF (a UTF-32 literal) becomes its pair.
QString fromWide(const std::wstring& text);

// 8-bit text, one byte per UTF-16 unit: up to U+00FF the byte of the same
// value (Latin-1), any other unit "?". This is Qt 4's toStdString with no
// codec set; Qt 5's is UTF-8 and must not be used for it.
std::string toLatin1Units(const std::wstring& text);

} // namespace Text
} // namespace Tellan
