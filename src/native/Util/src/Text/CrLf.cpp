#include "Text/CrLf.h"

#include <cstring>

namespace Tellan {
namespace Text {

void appendWithCrLf(std::string& out, const char* text, std::size_t size)
{
    const char* const end = text + size;
    // Most log lines have one line feed, at their end.
    const char* feed = static_cast<const char*>(std::memchr(text, '\n', size));
    if (!feed) {
        out.append(text, size);
        return;
    }
    out.reserve(out.size() + size + 1);
    while (feed) {
        out.append(text, static_cast<std::size_t>(feed - text));
        out.append("\r\n", 2);
        text = feed + 1;
        feed = static_cast<const char*>(std::memchr(text, '\n', static_cast<std::size_t>(end - text)));
    }
    out.append(text, static_cast<std::size_t>(end - text));
}

} // namespace Text
} // namespace Tellan
