#include "OpsRequest.h"

std::string OpsRequest::headString() const
{
    std::string head = method + " " + path + " HTTP/1.1\r\n";
    for (const auto& header : headers)
        head += header.first + ": " + header.second + "\r\n";
    return head;
}
