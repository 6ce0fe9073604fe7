// What keeps uploads safe: the server must prove it is the host connected to,
// and no step of the exchange may hold the File Upload thread for good.

#include "ChildProgram.h"
#include "TcpRelay.h"
#include "UploadFixture.h"

#include <gmock/gmock.h>

#include <QProcessEnvironment>
#include <QStringList>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>

#include <future>
#include <thread>

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
    std::size_t at = 5 + 4 + 2 + 32; // record and handshake headers, version, random
    at += 1 + byte(at); // session id
    at += 2 + u16(at); // cipher suites
    at += 1 + byte(at); // compression methods
    const std::size_t end = at + 2 + u16(at);
    for (at += 2; at + 4 <= end && at + 4 <= bytes.size(); at += 4 + u16(at + 2)) {
        if (u16(at) == 0) // server_name: list length, name type, name length, name
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
    EXPECT_EQ(defaults.replyBound, std::chrono::seconds(60));
    EXPECT_EQ(defaults.requestFloorRate, 16u * 1024);
    EXPECT_EQ(defaults.replyByteCap, 256u * 1024);
    EXPECT_FALSE(defaults.lookUp);
    EXPECT_TRUE(defaults.addresses.empty());

    // The request names the host that the upload connects to by default.
    EXPECT_THAT(runUpload(writeFile("a.log", "x"), OpsFileInfo::LogFile, endpoint()).results, ElementsAre(0));
    EXPECT_THAT(onlyRequest().bytes, HasSubstr("\r\nHost: " ZORVIK_UPLOAD_HOST "\r\n"));
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
        EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotHandshakeServer")));
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
                    CertificateCase{"WildcardDoesNotCoverTheBareDomain", {"*.localhost"}, {}, "localhost", false},
                    CertificateCase{"WildcardCoversOneLabel", {"*.zorvik.example"}, {}, "foo.zorvik.example", true},
                    // "f*" would match "foo": only a whole-label wildcard counts.
                    CertificateCase{
                        "PartialWildcardIsRefused", {"f*.zorvik.example"}, {}, "foo.zorvik.example", false}),
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
        EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotHandshakeServer"))) << trusted;
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

namespace {

// The name under which a hashed certificate folder keeps the certificate of
// file: its subject's hash, ".0".
std::string hashName(const std::string& file)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(file.c_str(), "r"), &BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    char name[16] = "";
    if (certificate)
        std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(certificate.get()));
    return name;
}

struct TrustCase {
    const char* name;
    // Each: a folder made for the case ("hashed", "plain" or "empty"), the
    // system's ("system"), or not set ("").
    const char* certDir;
    // "ca" (the test authority), "none" (a missing file), or not set ("").
    const char* certFile;
    bool extraCa; // the build's extra authorities: the test authority
    bool accepted;
};

void PrintTo(const TrustCase& c, std::ostream* os) { *os << c.name; }

} // namespace

class OpsFileUploadTrust : public UploadTest, public testing::WithParamInterface<TrustCase> {};

// Production trusts the system's authorities, where the environment
// (SSL_CERT_DIR, SSL_CERT_FILE) or the TLS library's defaults put them, and
// the build's extra ones. Each run is a process of its own, since the store is
// made once per process.
TEST_P(OpsFileUploadTrust, ServerIsTrustedOnlyThroughTheSystemsAuthoritiesOrTheBuildsExtraOnes)
{
    const TrustCase& c = GetParam();
    const QString path = writeFile("a.log", "x");
    const std::string ca = certificates.caFile;
    QTemporaryDir made;
    ASSERT_TRUE(made.isValid());
    const std::string dir = c.certDir;
    // A hashed folder keeps the authority under its hash name, a plain one
    // under another; an empty one holds nothing.
    if (dir == "hashed" || dir == "plain") {
        const std::string name = dir == "hashed" ? hashName(ca) : "ca.pem";
        ASSERT_TRUE(QFile::copy(QString::fromStdString(ca), made.filePath(QString::fromStdString(name))));
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("SSL_CERT_DIR");
    environment.remove("SSL_CERT_FILE");
    if (dir == "system")
        environment.insert("SSL_CERT_DIR", QString::fromUtf8(X509_get_default_cert_dir()));
    else if (!dir.empty())
        environment.insert("SSL_CERT_DIR", made.path());
    if (std::string(c.certFile) == "ca")
        environment.insert("SSL_CERT_FILE", QString::fromStdString(ca));
    else if (std::string(c.certFile) == "none")
        environment.insert("SSL_CERT_FILE", made.filePath("none.pem"));

    QStringList arguments{QString::number(server->port()), path};
    if (c.extraCa)
        arguments << QString::fromStdString(ca);
    TestSupport::ChildProgram child(TestSupport::testProgram("UploadTrust_child"), arguments, environment);
    ASSERT_TRUE(child.started());
    ASSERT_EQ(child.finish(), 0) << child.errors().toStdString();

    const QString output = QString::fromLocal8Bit(child.output());
    if (c.accepted) {
        EXPECT_EQ(output, "result 0 status 200\n");
        EXPECT_EQ(server->requests().size(), 1u);
    } else {
        EXPECT_EQ(output, "result -1 status 0\ncannotHandshakeServer\n");
        EXPECT_TRUE(server->requests().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stores, OpsFileUploadTrust,
    testing::Values(TrustCase{"OnlyInAHashedFolder", "hashed", "", false, true},
                    // No hash names: the system's bundle file is read, and it lacks the authority.
                    TrustCase{"EmptyFolder", "empty", "", false, false},
                    TrustCase{"SystemFolderWithoutIt", "system", "", false, false},
                    TrustCase{"LibraryDefaultsWithoutIt", "", "", false, false},
                    TrustCase{"SystemFolderAndTheBuildsExtraAuthorities", "system", "", true, true},
                    TrustCase{"FolderWithoutHashNamesBesideABundleWithIt", "plain", "ca", false, true},
                    // A bundle named by SSL_CERT_FILE is read even beside a hashed folder.
                    TrustCase{"BundleWithItBesideTheSystemFolder", "system", "ca", false, true},
                    TrustCase{"BundleWithItBesideAnEmptyFolder", "empty", "ca", false, true},
                    TrustCase{"MissingBundleBesideAnEmptyFolder", "empty", "none", false, false}),
    [](const testing::TestParamInfo<TrustCase>& info) { return std::string(info.param.name); });

struct ContextCase {
    const char* name;
    bool folder; // the CA file is a folder, or a file of no certificates
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
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotCreateTlsContext")));
    EXPECT_EQ(server->connectionCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Authorities, OpsFileUploadTlsContext,
                         testing::Values(ContextCase{"Folder", true}, ContextCase{"NoCertificates", false}),
                         [](const testing::TestParamInfo<ContextCase>& info) { return std::string(info.param.name); });

using OpsFileUploadTimeLimits = UploadTest;

namespace {

const std::chrono::milliseconds shortBound(400);

// Runs the upload and checks that it ended well within `limit`, and not
// before `atLeast`, with its one result on the callback's pool.
Outcome runBounded(const QString& path, const OpsFileUpload::Endpoint& target, std::chrono::seconds limit,
                   std::chrono::milliseconds atLeast = std::chrono::milliseconds(0))
{
    const auto started = std::chrono::steady_clock::now();
    Outcome outcome = runUpload(path, OpsFileInfo::LogFile, target);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(elapsed, limit);
    EXPECT_GE(elapsed, atLeast);
    EXPECT_TRUE(outcome.calledOnPool);
    EXPECT_FALSE(outcome.calledOnCaller);
    return outcome;
}

} // namespace

TEST_F(OpsFileUploadTimeLimits, ServerThatAcceptsButNeverHandshakesRunsOutTheConnectBound)
{
    TestSupport::TcpRelay::Options options; // accepts, never answers
    TestSupport::TcpRelay silent(options);
    OpsFileUpload::Endpoint target = endpoint(silent.port());
    target.connectBound = shortBound;

    const Outcome outcome = runBounded(writeFile("a.log", "x"), target, std::chrono::seconds(10));

    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotHandshakeServer")));
    EXPECT_THAT(lineOf("cannotHandshakeServer"), HasSubstr("error = timed out"));
    EXPECT_EQ(silent.connectionCount(), 1u);
}

TEST_F(OpsFileUploadTimeLimits, ServerThatNeverAnswersRunsOutTheReplyBound)
{
    server->setReplies({{StandIn::Behaviour::Stall, 200}});
    OpsFileUpload::Endpoint target = endpoint();
    target.replyBound = shortBound;

    const Outcome outcome = runBounded(writeFile("a.log", QByteArray(10000, 's')), target, std::chrono::seconds(10));

    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_EQ(outcome.httpStatus, 0);
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotReadServerResponse")));
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
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotWriteFile")));
    EXPECT_THAT(lineOf("cannotWriteFile"), HasSubstr("error = timed out"));
}

TEST_F(OpsFileUploadTimeLimits, ReplyDrippedByteByByteRunsOutTheReplyTotal)
{
    // A byte every 20 ms: never idle for the progress bound.
    server->setReplies({{StandIn::Behaviour::Drip, 200}});
    OpsFileUpload::Endpoint target = endpoint();
    target.progressBound = shortBound;
    target.replyBound = std::chrono::milliseconds(1500);

    const Outcome outcome = runBounded(writeFile("a.log", "x"), target, std::chrono::seconds(10), target.replyBound);

    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_EQ(outcome.httpStatus, 0);
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotReadServerResponse")));
    EXPECT_THAT(lineOf("cannotReadServerResponse"), HasSubstr("error = timed out"));
}

TEST_F(OpsFileUploadTimeLimits, EndlessReplyEndsAtTheByteCapOrElseAtTheReplyTotal)
{
    struct Case {
        std::size_t cap;
        std::chrono::milliseconds bound;
        const char* error;
    };
    const Case cases[] = {
        {64 * 1024, std::chrono::seconds(20), "error = Message too long"},
        {std::size_t(1) << 50, std::chrono::milliseconds(800), "error = timed out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        sink->clear();
        server->setReplies({}, {StandIn::Behaviour::Endless, 200});
        OpsFileUpload::Endpoint target = endpoint();
        target.replyByteCap = c.cap;
        target.replyBound = c.bound;

        const Outcome outcome = runBounded(writeFile("a.log", "x"), target, std::chrono::seconds(10));

        EXPECT_THAT(outcome.results, ElementsAre(-1));
        EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotReadServerResponse")));
        EXPECT_THAT(lineOf("cannotReadServerResponse"), HasSubstr(c.error));
    }
}

// The relay reads 8 MiB/s. The sender's kernel wakes it each time a few
// hundred KiB of its buffer have drained, well within the progress bound.
const std::size_t steadyRate = 8 * 1024 * 1024;

TEST_F(OpsFileUploadTimeLimits, ServerThatReadsTheBodySlowlyRunsOutTheRequestTotal)
{
    // Progress all along, but 32 MiB at 2 MiB/s take 16 s; the request may
    // take the progress bound and half a second at the floor rate. Only a
    // stall of the whole progress bound within the first half second could
    // end it sooner, so ending no sooner shows it was the total that ran out.
    TestSupport::TcpRelay::Options options;
    options.targetPort = server->port();
    options.clientBytesPerSecond = 2 * 1024 * 1024;
    TestSupport::TcpRelay relay(options);
    OpsFileUpload::Endpoint target = endpoint(relay.port());
    target.progressBound = std::chrono::seconds(4);
    target.requestFloorRate = 64 * 1024 * 1024;
    const QString path = writeFile("big.log", QByteArray(32 * 1024 * 1024, 't'));
    const auto total = target.progressBound + std::chrono::milliseconds(500);

    const Outcome outcome = runBounded(path, target, std::chrono::seconds(20), total);

    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotWriteFile")));
    EXPECT_THAT(lineOf("cannotWriteFile"), HasSubstr("error = timed out"));
}

TEST_F(OpsFileUploadTimeLimits, SlowButSteadyUploadOutlastsTheProgressBoundManyTimes)
{
    // 40 MiB at 8 MiB/s: over two progress bounds, with progress all along,
    // and a bound long enough that a loaded machine's pause is not a stall.
    // The floor rate lets a starved run take eight times as long.
    TestSupport::TcpRelay::Options options;
    options.targetPort = server->port();
    options.clientBytesPerSecond = steadyRate;
    TestSupport::TcpRelay relay(options);
    OpsFileUpload::Endpoint target = endpoint(relay.port());
    target.progressBound = std::chrono::milliseconds(2000);
    target.requestFloorRate = 1024 * 1024;
    const QString path = writeFile("steady.log", QByteArray(40 * 1024 * 1024, 's'));

    const Outcome outcome = runBounded(path, target, std::chrono::seconds(60), 2 * target.progressBound);

    EXPECT_THAT(outcome.results, ElementsAre(0));
    EXPECT_EQ(outcome.httpStatus, 200);
    EXPECT_THAT(loggedEvents(), ElementsAre());
    EXPECT_TRUE(onlyRequest().complete);
}

namespace {

// A look-up that answers only when the test lets it, and tells when its
// thread has let go of it.
struct HeldLookUp {
    std::shared_ptr<std::promise<void>> release = std::make_shared<std::promise<void>>();
    std::shared_future<void> released = release->get_future().share();
    // Set once the last copy of `alive` is gone.
    std::shared_ptr<std::promise<void>> gone = std::make_shared<std::promise<void>>();
    std::shared_future<void> letGo = gone->get_future().share();
    std::shared_ptr<int> alive{new int(0), [gone = gone](int* p) {
                                   delete p;
                                   gone->set_value();
                               }};

    OpsFileUpload::LookUp function(unsigned short port) const
    {
        return [released = released, alive = alive, port](const std::string&, const std::string&,
                                                          boost::system::error_code&) {
            // Bounded, so that an upload that waited for it fails its test instead of hanging it.
            released.wait_for(std::chrono::seconds(10));
            return OpsFileUpload::Addresses{{boost::asio::ip::address_v4::loopback(), port}};
        };
    }
};

} // namespace

TEST_F(OpsFileUploadTimeLimits, SlowLookUpEndsAtTheConnectBoundAndItsLateAnswerIsDropped)
{
    HeldLookUp held;
    Outcome outcome;
    {
        OpsFileUpload::Endpoint target = endpoint();
        target.addresses.clear();
        target.connectBound = shortBound;
        target.lookUp = held.function(server->port());
        held.alive.reset();

        outcome = runBounded(writeFile("a.log", "x"), target, std::chrono::seconds(10), shortBound);
    }
    // The upload is gone; now the look-up answers.
    held.release->set_value();
    ASSERT_EQ(held.letGo.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    drainPool();

    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotResolveUrl")));
    EXPECT_THAT(lineOf("cannotResolveUrl"), HasSubstr("error = timed out"));
    EXPECT_EQ(server->connectionCount(), 0u);
}

TEST_F(OpsFileUploadTimeLimits, LookUpThatAnswersWithinTheConnectBoundGoesOn)
{
    HeldLookUp held;
    OpsFileUpload::Endpoint target = endpoint();
    target.addresses.clear();
    target.lookUp = held.function(server->port());
    std::thread answerSoon([&held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        held.release->set_value();
    });

    const Outcome outcome = runBounded(writeFile("a.log", "x"), target, std::chrono::seconds(10));
    answerSoon.join();

    EXPECT_THAT(outcome.results, ElementsAre(0));
    EXPECT_EQ(outcome.httpStatus, 200);
    EXPECT_TRUE(onlyRequest().complete);
}
