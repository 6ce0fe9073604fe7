#pragma once

#include <map>
#include <string>

// The HTTP request of one upload: its method, target and headers. The body
// (preamble, file, closing space) is written by the upload itself.
struct OpsRequest {
    std::string method;
    // Only ever logged; the connection is made to the upload endpoint.
    std::string url = "http://127.0.0.1";
    // The request target, UTF-8: servlet path and query.
    std::string path;
    // Written in map order, which is byte order: "X-devicetype" comes last.
    std::map<std::string, std::string> headers;

    // The request line and one line per header, each ending in CR LF; a CR,
    // LF or NUL inside a header value is written as a space. There is
    // no empty line: the line feed that opens the body preamble ends the head.
    std::string headString() const;
};
