#include "OpsRequest.h"

namespace {

// A value read back from settings or derived from a file may hold anything: a
// CR, LF or NUL in it would end the header line early or start another one.
// Each becomes a space, as RFC 9110 asks a recipient to treat them.
std::string headerValue(std::string value)
{
    for (char& c : value)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return value;
}

} // namespace

std::string OpsRequest::headString() const
{
    std::string head = method + " " + path + " HTTP/1.1\r\n";
    for (const auto& header : headers)
        head += header.first + ": " + headerValue(header.second) + "\r\n";
    return head;
}
