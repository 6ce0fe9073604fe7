#include "Text/WideText.h"

namespace Tellan {
namespace Text {

std::wstring toWide(const QString& text)
{
    std::wstring out;
    out.reserve(static_cast<std::size_t>(text.size()));
    for (const QChar c : text)
        out.push_back(static_cast<wchar_t>(c.unicode()));
    return out;
}

QString fromWide(const std::wstring& text)
{
    QString out;
    out.reserve(static_cast<int>(text.size()));
    for (const wchar_t w : text) {
        const auto c = static_cast<std::uint32_t>(w);
        if (c > 0xFFFF && c <= 0x10FFFF) {
            out.append(QChar(QChar::highSurrogate(c)));
            out.append(QChar(QChar::lowSurrogate(c)));
        } else if (c > 0x10FFFF) {
            out.append(QChar(0xFFFD));
        } else {
            out.append(QChar(static_cast<ushort>(c)));
        }
    }
    return out;
}

std::string toLatin1Units(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (const wchar_t w : text) {
        const auto c = static_cast<std::uint32_t>(w);
        out.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    }
    return out;
}

} // namespace Text
} // namespace Tellan
