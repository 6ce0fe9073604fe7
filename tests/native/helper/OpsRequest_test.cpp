// The request format on its own: the head's text, the request that a queued
// file gets, the body preamble and the lengths, without a connection.
#include "OpsRequest.h"

#include <boost/make_shared.hpp>

#include <gtest/gtest.h>

#include <locale>
#include <map>
#include <string>

namespace {

const std::string preambleText = "\nFiles: messages.0\nMFBS/1.0 1\nContent-Name: Content\nContent-Encoding: text\n";

OpsRequest requestFor(const std::string& fileName, int type, const std::string& deviceId = "ZRVK01d",
                      const std::string& preamble = "p", qint64 size = 1)
{
    const auto info = boost::make_shared<Tellan::OpsFileInfo>("/queue/" + QString::fromUtf8(fileName.c_str()), type);
    return createOpsRequest(info, deviceId, preamble, size);
}

} // namespace

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

TEST(OpsRequest, DefaultRequestGivesTheBareRequestLine) { EXPECT_EQ(OpsRequest().headString(), "  HTTP/1.1\r\n"); }

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

TEST(OpsRequest, LogFileRequestCarriesEveryHeaderOfTheService)
{
    const std::string preamble = createBodyPreamble(500);
    const OpsRequest request =
        requestFor("ZorvikMusic-browser-v9.5.2.2478-240102-030405.log", 0, "ZRVK01abc", preamble, 500);

    const std::string target = "/DeviceEventProxy/VYKLogServlet?key=ZorvikMusic-browser-v9.5.2.2478-240102-030405.log";
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, target);
    EXPECT_EQ(request.url, "https://" ZORVIK_UPLOAD_HOST + target);
    const std::map<std::string, std::string> headers{
        {"Connection", "keep-alive"},
        {"Content-Length", "596"},
        {"Content-Type", "Text"},
        {"Host", ZORVIK_UPLOAD_HOST},
        {"X-Content-Type", "PavrelLogFormat-1.0"},
        {"X-DSN", "ZRVK01abc"},
        {"X-DeviceFirmwareVersion", "9.5.2.2478"},
        {"X-Upload-Tag", "ZorvikMusic"},
        {"X-devicetype", "R4TKW9XQ2MNB7F"},
    };
    EXPECT_EQ(request.headers, headers);
}

struct NamingCase {
    const char* fileName; // UTF-8
    int type;
    const char* tag;
    const char* key; // nullptr: the name unchanged
    const char* contentType;
};

void PrintTo(const NamingCase& c, std::ostream* os) { *os << c.fileName; }

class OpsRequestNaming : public testing::TestWithParam<NamingCase> {};

TEST_P(OpsRequestNaming, TagKeyAndContentTypeComeFromTheFileNameAndType)
{
    const NamingCase& c = GetParam();
    const OpsRequest request = requestFor(c.fileName, c.type);

    EXPECT_EQ(request.path, std::string("/DeviceEventProxy/VYKLogServlet?key=") + (c.key ? c.key : c.fileName));
    EXPECT_EQ(request.headers.at("X-Upload-Tag"), c.tag);
    EXPECT_EQ(request.headers.at("X-Content-Type"), c.contentType);
}

INSTANTIATE_TEST_SUITE_P(Names, OpsRequestNaming,
                         testing::Values(NamingCase{"ZorvikMusicInstaller-v9.5.2.2478-240102-030405.log", 0,
                                                    "ZorvikMusicInstaller", nullptr, "PavrelLogFormat-1.0"},
                                         NamingCase{"ZorvikMusic-renderer-v9.5.2.2478-240102-030405.log", 0,
                                                    "ZorvikMusic", nullptr, "PavrelLogFormat-1.0"},
                                         NamingCase{"ZorvikMusicMigrator-v9.5.2.2478-240102-030405.log", 0,
                                                    "ZorvikMusicMigrator", nullptr, "PavrelLogFormat-1.0"},
                                         // The pattern wins over the suffix, the suffix test is case-sensitive,
                                         // and the file's type plays no part in the tag.
                                         NamingCase{"Report-v2.dmp", 1, "Report", nullptr, "BinaryFile"},
                                         NamingCase{"0b5c7e2a.DMP", 1, "unknown", nullptr, "BinaryFile"},
                                         NamingCase{"0b5c7e2a-1f3d-4e5a-9b8c-7d6e5f4a3b2c.dmp", 1, "CRASH", nullptr,
                                                    "BinaryFile"},
                                         NamingCase{"1234.dmp", 0, "CRASH", nullptr, "PavrelLogFormat-1.0"},
                                         NamingCase{"notes.log", 0, "unknown", nullptr, "PavrelLogFormat-1.0"},
                                         // Letters before "-v" only: a digit in the run is no tag.
                                         NamingCase{"Zorvik2-v1.log", 0, "unknown", nullptr, "PavrelLogFormat-1.0"},
                                         NamingCase{"A-z_0.9~x.log", 0, "unknown", nullptr, "PavrelLogFormat-1.0"},
                                         NamingCase{"Zorvik Music-v1 \xc3\xa9.log", 0, "unknown",
                                                    "Zorvik%20Music-v1%20%C3%A9.log", "PavrelLogFormat-1.0"},
                                         NamingCase{"a+b&c=d?e#f%.log", 0, "unknown", "a%2Bb%26c%3Dd%3Fe%23f%25.log",
                                                    "PavrelLogFormat-1.0"}));

TEST(OpsRequest, UnknownFileTypeGivesADefaultRequest)
{
    for (const int type : {2, -1}) {
        const OpsRequest request = requestFor("ZorvikMusic-v1-240102-030405.log", type);
        EXPECT_EQ(request.method, "") << type;
        EXPECT_EQ(request.path, "") << type;
        EXPECT_TRUE(request.headers.empty()) << type;
        EXPECT_EQ(request.url, "http://127.0.0.1") << type;
        EXPECT_EQ(request.headString(), "  HTTP/1.1\r\n") << type;
    }
}

namespace {

// Groups digits in threes, as many locales do.
struct GroupingPunctuation : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

// The program's locale for as long as it lives; the one before restored
// however the test ends.
class GlobalLocale {
public:
    explicit GlobalLocale(const std::locale& locale) : before_(std::locale::global(locale)) {}
    GlobalLocale(const GlobalLocale&) = delete;
    GlobalLocale& operator=(const GlobalLocale&) = delete;
    ~GlobalLocale() { std::locale::global(before_); }

private:
    std::locale before_;
};

} // namespace

TEST(OpsRequest, LengthsAreDigitsOnlyAndTheHeaderCountsThePreamble)
{
    // Whatever the program's locale: digits only.
    const GlobalLocale grouping(std::locale(std::locale::classic(), new GroupingPunctuation));
    struct Case {
        qint64 size;
        std::string digits;
    };
    const Case cases[] = {{1, "1"},
                          {9, "9"},
                          {10, "10"},
                          {500, "500"},
                          {4096, "4096"},
                          {1234567, "1234567"},
                          {10000000000000LL, "10000000000000"}};
    for (const Case& c : cases) {
        const std::string preamble = createBodyPreamble(c.size);
        EXPECT_EQ(preamble, preambleText + "Content-Length: " + c.digits + "\n\n");
        EXPECT_EQ(preamble.size(), 93 + c.digits.size());
        EXPECT_EQ(computeContentLength(c.size, std::string()), c.digits);
        EXPECT_EQ(computeContentLength(c.size, preamble), std::to_string(c.size + qint64(preamble.size())));
        EXPECT_EQ(requestFor("a.log", 0, "d", preamble, c.size).headers.at("Content-Length"),
                  std::to_string(c.size + qint64(preamble.size())));
    }
}
