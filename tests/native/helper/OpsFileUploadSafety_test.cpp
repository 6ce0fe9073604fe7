// What keeps uploads safe: the server must prove it is the host connected to,
// and no step of the exchange may hold the File Upload thread for good.

#include "HelperConfig.h"
#include "TcpRelay.h"
#include "UploadFixture.h"

#include <gmock/gmock.h>

using namespace UploadTests;
using testing::ElementsAre;
using testing::HasSubstr;
using Tellan::OpsFileInfo;
using Tellan::OpsFileUpload;

namespace {

// The server name of the TLS ClientHello at the start of bytes: "" when it
// carries none, "?" when the bytes are no ClientHello.
std::string serverNameOf(const std::string& bytes)
{
    const auto byte = [&](std::size_t i) -> std::size_t { return i < bytes.size() ? (unsigned char)bytes[i] : 0; };
    const auto u16 = [&](std::size_t i) { return byte(i) << 8 | byte(i + 1); };
    if (byte(0) != 0x16 || byte(5) != 0x01)
        return "?";
    std::size_t at = 5 + 4 + 2 + 32;  // record and handshake headers, version, random
    at += 1 + byte(at);               // session id
    at += 2 + u16(at);                // cipher suites
    at += 1 + byte(at);               // compression methods
    const std::size_t end = at + 2 + u16(at);
    for (at += 2; at + 4 <= end && at + 4 <= bytes.size(); at += 4 + u16(at + 2)) {
        if (u16(at) == 0)  // server_name: list length, name type, name length, name
            return bytes.substr(at + 9, u16(at + 7));
    }
    return "";
}

} // namespace

using OpsFileUploadSafety = UploadTest;

TEST_F(OpsFileUploadSafety, DefaultEndpointIsTheCompiledInHostWithTheDefaultBounds)
{
    const OpsFileUpload::Endpoint defaults;
    EXPECT_EQ(defaults.host, ZORVIK_UPLOAD_HOST);
    EXPECT_EQ(defaults.service, ZORVIK_UPLOAD_PORT);
    EXPECT_EQ(defaults.extraCaFile, ZORVIK_UPLOAD_EXTRA_CA_FILE);
    EXPECT_EQ(defaults.connectBound, std::chrono::seconds(30));
    EXPECT_EQ(defaults.progressBound, std::chrono::seconds(60));
    EXPECT_TRUE(defaults.addresses.empty());
    EXPECT_STREQ(Tellan::Config::uploadHost, ZORVIK_UPLOAD_HOST);
}

struct CertificateCase {
    const char* name;
    std::vector<std::string> dnsNames;
    std::vector<std::string> ipAddresses;
    const char* host;
    bool accepted;
};

void PrintTo(const CertificateCase& c, std::ostream* os) { *os << c.name; }

class OpsFileUploadCertificates : public UploadTest, public testing::WithParamInterface<CertificateCase> {};

TEST_P(OpsFileUploadCertificates, ServerMustHoldACertificateForTheHostConnectedTo)
{
    const CertificateCase& c = GetParam();
    QTemporaryDir own;
    const auto files = StandIn::makeTestCertificates(own.path().toStdString(), c.dnsNames, c.ipAddresses);
    const auto other = startServer(files);
    OpsFileUpload::Endpoint target = endpoint(other->port());
    target.host = c.host;
    target.extraCaFile = files.caFile;

    const Outcome outcome = runUpload(writeFile("a.log", "x"), OpsFileInfo::LogFile, target);

    EXPECT_TRUE(outcome.started);
    if (c.accepted) {
        EXPECT_THAT(outcome.results, ElementsAre(0));
        EXPECT_THAT(loggedEvents(), ElementsAre());
        EXPECT_TRUE(other->waitForRequests(1, std::chrono::seconds(10)));
    } else {
        EXPECT_THAT(outcome.results, ElementsAre(-1));
        EXPECT_EQ(outcome.httpStatus, 0);
        EXPECT_THAT(loggedEvents(), ElementsAre("cannotHandshakeServer"));
        EXPECT_THAT(lineOf("cannotHandshakeServer"), HasSubstr("certificate verify failed"));
        EXPECT_TRUE(other->requests().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, OpsFileUploadCertificates,
    testing::Values(CertificateCase{"NameMatches", {"localhost"}, {}, "localhost", true},
                    CertificateCase{"ForAnotherHost", {"other.example"}, {"127.0.0.1"}, "localhost", false},
                    CertificateCase{"AddressMatches", {}, {"127.0.0.1"}, "127.0.0.1", true},
                    CertificateCase{"AddressNotInCertificate", {"localhost"}, {}, "127.0.0.1", false},
                    CertificateCase{"WildcardDoesNotCoverTheBareDomain", {"*.localhost"}, {}, "localhost", false}),
    [](const testing::TestParamInfo<CertificateCase>& info) { return std::string(info.param.name); });

TEST_F(OpsFileUploadSafety, CertificateFromAnUnknownAuthorityFailsTheHandshake)
{
    QTemporaryDir otherFolder;
    const auto other = StandIn::makeTestCertificates(otherFolder.path().toStdString(), {"localhost"}, {});
    for (const std::string& trusted : {other.caFile, std::string()}) {
        sink->clear();
        OpsFileUpload::Endpoint target = endpoint();
        target.extraCaFile = trusted;

        const Outcome outcome = runUpload(writeFile("a.log", "x"), OpsFileInfo::LogFile, target);

        EXPECT_THAT(outcome.results, ElementsAre(-1)) << trusted;
        EXPECT_THAT(loggedEvents(), ElementsAre("cannotHandshakeServer")) << trusted;
    }
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(OpsFileUploadSafety, ServerNameIsSentForAHostNameButNotForAnAddress)
{
    for (const std::string host : {"localhost", "127.0.0.1"}) {
        TestSupport::TcpRelay::Options options;
        options.targetPort = server->port();
        TestSupport::TcpRelay relay(options);
        OpsFileUpload::Endpoint target = endpoint(relay.port());
        target.host = host;

        EXPECT_THAT(runUpload(writeFile("a.log", "x"), OpsFileInfo::LogFile, target).results, ElementsAre(0));
        EXPECT_EQ(serverNameOf(relay.clientBytes()), host == "localhost" ? "localhost" : "") << host;
    }
}

struct ContextCase {
    const char* name;
    bool folder;  // the CA file is a folder, or a file of no certificates
};

void PrintTo(const ContextCase& c, std::ostream* os) { *os << c.name; }

class OpsFileUploadTlsContext : public UploadTest, public testing::WithParamInterface<ContextCase> {};

// An upload without a usable TLS context never starts: no connection, no result.
TEST_P(OpsFileUploadTlsContext, StartFailsAfterItsRecord)
{
    OpsFileUpload::Endpoint target = endpoint();
    target.extraCaFile = GetParam().folder ? folder.path().toStdString()
                                           : writeFile("authorities.pem", "no certificate here\n").toStdString();

    const Outcome outcome = runUpload(writeFile("a.log", "x"), OpsFileInfo::LogFile, target);

    EXPECT_FALSE(outcome.started);
    EXPECT_THAT(outcome.results, ElementsAre());
    EXPECT_THAT(loggedEvents(), ElementsAre("cannotCreateTlsContext"));
    EXPECT_EQ(server->connectionCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Authorities, OpsFileUploadTlsContext,
                         testing::Values(ContextCase{"Folder", true}, ContextCase{"NoCertificates", false}),
                         [](const testing::TestParamInfo<ContextCase>& info) { return std::string(info.param.name); });

using OpsFileUploadTimeLimits = UploadTest;

namespace {

const std::chrono::milliseconds shortBound(400);

// Runs the upload and checks that it ended well within `limit`.
Outcome runBounded(const QString& path, const OpsFileUpload::Endpoint& target, std::chrono::seconds limit)
{
    const auto started = std::chrono::steady_clock::now();
    Outcome outcome = runUpload(path, OpsFileInfo::LogFile, target);
    EXPECT_LT(std::chrono::steady_clock::now() - started, limit);
    return outcome;
}

} // namespace

TEST_F(OpsFileUploadTimeLimits, ServerThatAcceptsButNeverHandshakesRunsOutTheConnectBound)
{
    TestSupport::TcpRelay::Options options;  // accepts, never answers
    TestSupport::TcpRelay silent(options);
    OpsFileUpload::Endpoint target = endpoint(silent.port());
    target.connectBound = shortBound;

    const Outcome outcome = runBounded(writeFile("a.log", "x"), target, std::chrono::seconds(10));

    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_THAT(loggedEvents(), ElementsAre("cannotHandshakeServer"));
    EXPECT_THAT(lineOf("cannotHandshakeServer"), HasSubstr("error = timed out"));
    EXPECT_EQ(silent.connectionCount(), 1u);
}

TEST_F(OpsFileUploadTimeLimits, ServerThatNeverAnswersRunsOutTheReadBound)
{
    server->setReplies({{StandIn::Behaviour::Stall, 200}});
    OpsFileUpload::Endpoint target = endpoint();
    target.progressBound = shortBound;

    const Outcome outcome = runBounded(writeFile("a.log", QByteArray(10000, 's')), target, std::chrono::seconds(10));

    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_EQ(outcome.httpStatus, 0);
    EXPECT_THAT(loggedEvents(), ElementsAre("cannotReadServerResponse"));
    EXPECT_THAT(lineOf("cannotReadServerResponse"), HasSubstr("error = timed out"));
    EXPECT_TRUE(onlyRequest().complete);
}

TEST_F(OpsFileUploadTimeLimits, ServerThatStopsReadingRunsOutTheWriteBound)
{
    // Past the handshake and the head the relay stops reading: the upload's
    // writes stall once the socket buffers are full.
    TestSupport::TcpRelay::Options options;
    options.targetPort = server->port();
    options.clientByteLimit = 64 * 1024;
    TestSupport::TcpRelay relay(options);
    OpsFileUpload::Endpoint target = endpoint(relay.port());
    target.progressBound = shortBound;
    const QString path = writeFile("big.log", QByteArray(32 * 1024 * 1024, 'w'));

    const Outcome outcome = runBounded(path, target, std::chrono::seconds(20));

    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_THAT(loggedEvents(), ElementsAre("cannotWriteFile"));
    EXPECT_THAT(lineOf("cannotWriteFile"), HasSubstr("error = timed out"));
}
