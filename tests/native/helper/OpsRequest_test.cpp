#include "OpsRequest.h"

#include <gtest/gtest.h>

TEST(OpsRequest, HeadIsTheRequestLineAndTheHeadersInByteOrderWithoutAnEmptyLine)
{
    OpsRequest request;
    request.method = "POST";
    request.path = "/servlet?key=a.log";
    // Filled in another order than the wire's.
    request.headers["X-devicetype"] = "T";
    request.headers["X-Upload-Tag"] = "Tag";
    request.headers["X-DeviceFirmwareVersion"] = "1";
    request.headers["X-DSN"] = "D";
    request.headers["Host"] = "h";
    request.headers["Connection"] = "keep-alive";

    EXPECT_EQ(request.headString(), "POST /servlet?key=a.log HTTP/1.1\r\n"
                                    "Connection: keep-alive\r\n"
                                    "Host: h\r\n"
                                    "X-DSN: D\r\n"
                                    "X-DeviceFirmwareVersion: 1\r\n"
                                    "X-Upload-Tag: Tag\r\n"
                                    "X-devicetype: T\r\n");
}

TEST(OpsRequest, DefaultRequestGivesTheBareRequestLineAndTheLocalUrl)
{
    const OpsRequest request;
    EXPECT_EQ(request.headString(), "  HTTP/1.1\r\n");
    EXPECT_EQ(request.url, "http://127.0.0.1");
}

TEST(OpsRequest, CrLfAndNulInAHeaderValueNeverStartALineOfTheirOwn)
{
    struct Case {
        std::string value;
        std::string written;
    };
    const Case cases[] = {
        {"ZRVK01abc\r\nX-Injected: 1", "ZRVK01abc  X-Injected: 1"},
        {"ZRVK01abc\n", "ZRVK01abc "},
        {"a\rb", "a b"},
        {std::string("a\0b", 3), "a b"},
        {"\r\n\r\nPOST / HTTP/1.1", "    POST / HTTP/1.1"},
    };
    for (const Case& c : cases) {
        OpsRequest request;
        request.method = "POST";
        request.path = "/p";
        request.headers["X-DSN"] = c.value;
        request.headers["X-devicetype"] = "T";

        EXPECT_EQ(request.headString(), "POST /p HTTP/1.1\r\nX-DSN: " + c.written + "\r\nX-devicetype: T\r\n");
    }
}
