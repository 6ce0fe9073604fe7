#pragma once

#include <cstddef>
#include <string>

namespace Tellan {
namespace Text {

// Appends `size` bytes of `text` to `out` with every line feed written as
// CR LF, as a Windows text file holds it. The runs between line feeds are
// copied whole.
void appendWithCrLf(std::string& out, const char* text, std::size_t size);

inline void appendWithCrLf(std::string& out, const std::string& text) { appendWithCrLf(out, text.data(), text.size()); }

} // namespace Text
} // namespace Tellan
