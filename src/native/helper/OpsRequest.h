#pragma once

#include "OpsFileInfo.h"

#include <QtGlobal>

#include <boost/shared_ptr.hpp>

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

// The file's size is read once per upload and handed to each of these: a file
// that changed between several reads would announce two lengths.

// The decimal text of size plus the length of extra, digits only.
std::string computeContentLength(qint64 size, const std::string& extra);

// What goes between the head and the file's bytes; its first line feed ends
// the head, and its own Content-Length line gives size.
std::string createBodyPreamble(qint64 size);

// The request that sends the file of info, size bytes, after preamble: its
// target names the file, its tag comes from the name, its content type from
// the file's type. An unknown type gives a default request.
OpsRequest createOpsRequest(const boost::shared_ptr<Tellan::OpsFileInfo>& info, const std::string& deviceId,
                            const std::string& preamble, qint64 size);
