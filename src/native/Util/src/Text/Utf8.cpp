#include "Text/Utf8.h"

#include <boost/locale/encoding_utf.hpp>

std::wstring utf8ToWide(std::string text)
{
    // Decoding to char16_t keeps the UTF-16 result whatever the width of
    // wchar_t; each unit then fills one wchar_t.
    const std::u16string units = boost::locale::conv::utf_to_utf<char16_t>(text, boost::locale::conv::skip);
    return std::wstring(units.begin(), units.end());
}
