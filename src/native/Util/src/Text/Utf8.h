#pragma once

#include <string>

// UTF-8 to wide text holding UTF-16 units (a character above U+FFFF becomes a
// surrogate pair, as on Windows). Byte sequences that are not well-formed
// UTF-8 are dropped together with the bytes read while recognising them, and
// decoding goes on with the next byte, so the conversion never fails.
std::wstring utf8ToWide(std::string text);
