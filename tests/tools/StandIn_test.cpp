#include "UploadStandIn.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <fstream>
#include <mutex>
#include <numeric>
#include <sstream>
#include <thread>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using boost::asio::ip::tcp;
using boost::system::error_code;
using StandIn::Behaviour;
using StandIn::Reply;

namespace {

// What a client read from the stand-in, across one or more calls of `TlsClient::read`.
struct Received {
    std::string bytes;
    std::vector<std::size_t> reads; // bytes returned by each read
    bool ended = false; // the stream ended; `end` says how
    error_code end;
    bool timedOut = false;
};

bool framedReplyComplete(std::string bytes)
{
    // Interim replies come before the final one.
    while (bytes.rfind("HTTP/1.1 1", 0) == 0 && bytes.find("\r\n\r\n") != std::string::npos)
        bytes.erase(0, bytes.find("\r\n\r\n") + 4);
    const auto headEnd = bytes.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return false;
    const auto header = bytes.find("Content-Length: ");
    if (header == std::string::npos || header > headEnd)
        return false; // framed only by the end of the stream
    return bytes.size() >= headEnd + 4 + std::stoul(bytes.substr(header + 16));
}

// A TLS client that checks the server's chain against one CA file and the host name, sends SNI for a
// host name, and writes each piece it is given in one TLS write.
class TlsClient {
public:
    TlsClient(const std::string& caFile, const std::string& hostName) : stream(io, tls)
    {
        tls.load_verify_file(caFile);
        stream.set_verify_mode(ssl::verify_peer);
        stream.set_verify_callback(ssl::host_name_verification(hostName));
        error_code notAnAddress;
        asio::ip::make_address(hostName, notAnAddress);
        if (notAnAddress)
            SSL_set_tlsext_host_name(stream.native_handle(), hostName.c_str());
    }

    error_code connect(unsigned short port, const std::string& address = "127.0.0.1")
    {
        error_code error;
        stream.next_layer().connect(tcp::endpoint(asio::ip::make_address(address), port), error);
        if (!error)
            stream.handshake(ssl::stream_base::client, error);
        return error;
    }

    void send(const std::vector<std::string>& pieces)
    {
        for (const std::string& piece : pieces)
            ASSERT_EQ(stream.write_some(asio::buffer(piece)), piece.size());
    }

    // Reads until a reply framed by Content-Length is complete, the stream ends or `timeout` passes. A
    // read still pending at the time-out goes on at the next call.
    Received read(std::chrono::milliseconds timeout)
    {
        received.timedOut = false;
        done = received.ended || framedReplyComplete(received.bytes);
        if (!done && !reading)
            readMore();
        io.restart();
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done && io.run_one_until(deadline) > 0) {}
        received.timedOut = !done;
        return received;
    }

    void closeTcp() { stream.next_layer().close(); }

private:
    void readMore()
    {
        reading = true;
        stream.async_read_some(asio::buffer(buffer), [this](const error_code& error, std::size_t size) {
            reading = false;
            if (size > 0) {
                received.bytes.append(buffer.data(), size);
                received.reads.push_back(size);
            }
            if (error) {
                received.ended = true;
                received.end = error;
                done = true;
            } else if (framedReplyComplete(received.bytes)) {
                done = true;
            } else {
                readMore();
            }
        });
    }

    asio::io_context io;
    ssl::context tls{ssl::context::tls_client};
    ssl::stream<tcp::socket> stream;
    std::array<char, 32768> buffer;
    Received received;
    bool reading = false;
    bool done = false;
};

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 5s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::string head(std::size_t contentLength, const std::string& end = "\r\n\n")
{
    return "POST /DeviceEventProxy/VYKLogServlet?key=a.log HTTP/1.1\r\nConnection: keep-alive\r\n"
           "Content-Length: "
           + std::to_string(contentLength) + "\r\nHost: localhost" + end;
}

struct Report {
    std::size_t index;
    bool complete;
    std::size_t size;
    Reply reply;
};

class StandInServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(directory.isValid());
        certificates = StandIn::makeTestCertificates(path(), {"localhost"}, {"127.0.0.1", "::1"});
        server = std::make_unique<StandIn::Server>(options());
    }

    std::string path() const { return directory.path().toStdString(); }

    StandIn::Options options()
    {
        StandIn::Options options;
        options.certificateFile = certificates.certificateFile;
        options.privateKeyFile = certificates.privateKeyFile;
        options.onRequest = [this](std::size_t index, const StandIn::ReceivedRequest& request, const Reply& reply) {
            std::lock_guard<std::mutex> lock(reportMutex);
            reports.push_back({index, request.complete, request.bytes.size(), reply});
        };
        return options;
    }

    std::unique_ptr<TlsClient> connected(const std::string& address = "127.0.0.1")
    {
        auto client = std::make_unique<TlsClient>(certificates.caFile, "localhost");
        const error_code error = client->connect(server->port(), address);
        EXPECT_FALSE(error) << error.message();
        return client;
    }

    std::vector<Report> reported()
    {
        std::lock_guard<std::mutex> lock(reportMutex);
        return reports;
    }

    QTemporaryDir directory;
    StandIn::TestCertificates certificates;
    std::unique_ptr<StandIn::Server> server;
    std::mutex reportMutex;
    std::vector<Report> reports;
};

TEST_F(StandInServer, AnswersEachRequestWithItsScriptedStatusAndLaterOnesWithTheDefault)
{
    EXPECT_EQ(StandIn::statusReply(200), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    server->setReplies({{Behaviour::Status, 200}, {Behaviour::Status, 403}, {Behaviour::Status, 500}},
                       {Behaviour::Status, 404});
    const int expected[] = {200, 403, 500, 404, 404};
    for (int status : expected) {
        auto client = connected();
        client->send({head(5), "body "});
        const Received reply = client->read(5s);
        EXPECT_EQ(reply.bytes, StandIn::statusReply(status));
        EXPECT_FALSE(reply.ended) << "the stand-in keeps the connection after a reply";
    }
    ASSERT_TRUE(server->waitForRequests(5, 5s));
    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 5u);
    for (const auto& request : requests)
        EXPECT_EQ(request.bytes, head(5) + "body ");

    const auto reports = reported();
    ASSERT_EQ(reports.size(), 5u);
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].index, i);
        EXPECT_TRUE(reports[i].complete);
        EXPECT_EQ(reports[i].reply.status, expected[i]);
    }
}

TEST_F(StandInServer, RecordsTheExactBytesAndThePlaintextSizeOfEveryTlsRecord)
{
    // Many small records written back to back must not be merged into one read, and a full record of
    // 16384 bytes must come out whole.
    std::vector<std::string> body;
    for (std::size_t size = 1; size <= 40; ++size)
        body.push_back(std::string(size, char('a' + size % 26)));
    body.push_back(std::string(4097, 'x'));
    body.push_back("y ");
    body.push_back(std::string(16384, 'z'));
    const std::size_t bodySize =
        std::accumulate(body.begin(), body.end(), std::size_t{0},
                        [](std::size_t n, const std::string& piece) { return n + piece.size(); });
    std::vector<std::string> pieces = {head(bodySize)};
    pieces.insert(pieces.end(), body.begin(), body.end());

    auto client = connected();
    client->send(pieces);
    EXPECT_EQ(client->read(5s).bytes, StandIn::statusReply(200));

    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 1u);
    std::vector<std::size_t> sizes;
    for (const auto& piece : pieces)
        sizes.push_back(piece.size());
    EXPECT_TRUE(requests[0].complete);
    EXPECT_EQ(requests[0].bytes, std::accumulate(pieces.begin(), pieces.end(), std::string()));
    EXPECT_EQ(requests[0].tlsRecordSizes, sizes);
    EXPECT_TRUE(requests[0].bytesAfterBody.empty());
}

TEST_F(StandInServer, AnswersOnlyOnceTheBodyAnnouncedAfterTheFirstEmptyLineHasArrived)
{
    struct Case {
        const char* name;
        std::string head;
        std::string body;
    };
    const Case cases[] = {
        {"upload client's head end", head(7, "\r\n\n"), "1234567"},
        {"usual head end", head(7, "\r\n\r\n"), "1234567"},
        {"header name in lower case", "POST / HTTP/1.1\r\ncontent-length:  3 \r\n\r\n", "abc"},
        {"no Content-Length", "POST / HTTP/1.1\r\nHost: localhost\r\n\r\n", ""},
    };
    std::size_t index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = connected();
        client->send({c.head});
        if (!c.body.empty()) {
            EXPECT_TRUE(client->read(200ms).bytes.empty()) << "answered before the body came";
            client->send({c.body});
        }
        EXPECT_EQ(client->read(5s).bytes, StandIn::statusReply(200));
        const auto request = server->requests().at(index++);
        EXPECT_TRUE(request.complete);
        EXPECT_EQ(request.bytes, c.head + c.body);
    }
}

TEST_F(StandInServer, KeepsBytesPastTheAnnouncedBodyApartAndGoesOnReadingAfterTheReply)
{
    auto client = connected();
    client->send({head(4) + "bodyEXTRA"});
    EXPECT_EQ(client->read(5s).bytes, StandIn::statusReply(200));
    client->send({"MORE"});
    ASSERT_TRUE(eventually([&] { return server->requests().at(0).bytesAfterBody.size() == 9; }));
    const auto request = server->requests().at(0);
    EXPECT_EQ(request.bytes, head(4) + "body");
    EXPECT_EQ(request.bytesAfterBody, "EXTRAMORE");
    EXPECT_EQ(request.tlsRecordSizes, (std::vector<std::size_t>{head(4).size() + 9, 4}));
}

TEST_F(StandInServer, RecordsAnIncompleteRequestAndReportsItWhenThePeerCloses)
{
    auto client = connected();
    client->send({head(100), std::string(40, 'b')});
    EXPECT_TRUE(client->read(200ms).bytes.empty());
    EXPECT_TRUE(reported().empty());
    client->closeTcp();

    ASSERT_TRUE(eventually([&] { return reported().size() == 1; }));
    EXPECT_FALSE(reported()[0].complete);
    EXPECT_EQ(reported()[0].size, head(100).size() + 40);
    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].complete);
    EXPECT_EQ(requests[0].bytes, head(100) + std::string(40, 'b'));
    EXPECT_FALSE(server->waitForRequests(1, 50ms));
}

TEST_F(StandInServer, EachMisbehaviourReachesTheClientAsScripted)
{
    struct Case {
        const char* name;
        Reply reply;
        std::string bytes; // what the client reads
        std::size_t minimumReads, maximumReads;
        bool ends; // the stand-in ends the stream
        error_code end;
    };
    const Case cases[] = {
        {"split reply", {Behaviour::SplitReply, 500}, StandIn::statusReply(500), 3, 99, false, {}},
        {"trailing bytes in the same read",
         {Behaviour::TrailingBytes, 200},
         StandIn::statusReply(200) + "unexpected bytes after the reply\r\n",
         1,
         1,
         false,
         {}},
        {"TLS close before a reply", {Behaviour::TlsCloseBeforeReply, 200}, "", 0, 0, true, asio::error::eof},
        {"dropped without TLS close", {Behaviour::DropWithoutClose, 200}, "", 0, 0, true, ssl::error::stream_truncated},
        {"framed by the close",
         {Behaviour::CloseFramed, 403},
         "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\nForbidden\n",
         1,
         99,
         true,
         asio::error::eof},
        {"interim replies first",
         {Behaviour::Interim, 403},
         StandIn::interimReplies() + StandIn::statusReply(403),
         1,
         99,
         false,
         {}},
        {"two replies in one read",
         {Behaviour::TwoReplies, 200, 500},
         StandIn::statusReply(200) + StandIn::statusReply(500),
         1,
         1,
         false,
         {}},
        {"an interim and a final reply in one read",
         {Behaviour::TwoReplies, 100, 200},
         "HTTP/1.1 100 Continue\r\n\r\n" + StandIn::statusReply(200),
         1,
         1,
         false,
         {}},
        // The reader stops at the first complete reply: the second is in a record of its own.
        {"second reply later", {Behaviour::SecondReplyLater, 200, 500}, StandIn::statusReply(200), 1, 1, false, {}},
    };
    std::vector<Reply> replies;
    for (const Case& c : cases)
        replies.push_back(c.reply);
    server->setReplies(replies);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = connected();
        client->send({head(3), "abc"});
        const Received received = client->read(5s);
        EXPECT_FALSE(received.timedOut);
        EXPECT_EQ(received.bytes, c.bytes);
        EXPECT_GE(received.reads.size(), c.minimumReads);
        EXPECT_LE(received.reads.size(), c.maximumReads);
        EXPECT_EQ(received.ended, c.ends);
        EXPECT_EQ(received.end, c.end) << received.end.message();
    }
    ASSERT_TRUE(server->waitForRequests(std::size(cases), 5s));
}

TEST_F(StandInServer, StallNeverAnswersAndHoldsTheConnectionUntilTheServerIsDestroyed)
{
    server->setReplies({}, {Behaviour::Stall, 200});
    auto client = connected();
    client->send({head(3), "abc"});
    ASSERT_TRUE(server->waitForRequests(1, 5s));
    const Received waiting = client->read(300ms);
    EXPECT_TRUE(waiting.timedOut);
    EXPECT_TRUE(waiting.bytes.empty());

    server.reset();
    const Received after = client->read(5s);
    EXPECT_FALSE(after.timedOut);
    EXPECT_TRUE(after.ended);
    EXPECT_TRUE(after.bytes.empty());
}

TEST_F(StandInServer, CountsConnectionsThatNeverSendARequest)
{
    asio::io_context io;
    tcp::socket silent(io);
    silent.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server->port()));
    EXPECT_TRUE(eventually([&] { return server->connectionCount() == 1; }));
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(StandInServer, ListensOnIpv6LoopbackWhenAsked)
{
    StandIn::Options v6 = options();
    v6.address = "::1";
    try {
        server = std::make_unique<StandIn::Server>(v6);
    } catch (const std::exception& error) {
        GTEST_SKIP() << "no IPv6 loopback here: " << error.what();
    }
    auto client = connected("::1");
    client->send({head(1), "x"});
    EXPECT_EQ(client->read(5s).bytes, StandIn::statusReply(200));
}

TEST_F(StandInServer, DripsOrFloodsAReplyForAsLongAsTheConnectionLasts)
{
    server->setReplies({{Behaviour::Drip, 200}, {Behaviour::Endless, 200}});
    for (const std::string expected : {"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nxx",
                                       "HTTP/1.1 200 OK\r\nContent-Length: 1000000000000\r\n\r\nxx"}) {
        auto client = connected();
        client->send({head(1), "x"});
        const Received received = client->read(1500ms);
        EXPECT_TRUE(received.timedOut);
        EXPECT_EQ(received.bytes.substr(0, expected.size()), expected);
        if (expected.find("100000\r") != std::string::npos) {
            EXPECT_LT(received.bytes.size(), 80u); // about one byte per 20 ms
            EXPECT_EQ(received.reads.size(), received.bytes.size());
        } else {
            // Blocks of 16 KiB one after the other: many of them even on a loaded machine.
            EXPECT_GT(received.bytes.size(), 256u * 1024);
        }
    }
}

TEST_F(StandInServer, RefusesEveryAddressButLoopback)
{
    for (const char* address : {"0.0.0.0", "::", "192.0.2.1", "10.1.2.3", "::ffff:10.1.2.3", "fe80::1"}) {
        StandIn::Options elsewhere = options();
        elsewhere.address = address;
        EXPECT_THROW(StandIn::Server refused(elsewhere), std::invalid_argument) << address;
    }
    StandIn::Options otherLoopback = options();
    otherLoopback.address = "127.0.0.2";
    StandIn::Server accepted(otherLoopback);
    TlsClient client(certificates.caFile, "localhost");
    EXPECT_FALSE(client.connect(accepted.port(), "127.0.0.2"));
}

TEST_F(StandInServer, CertificateChainVerifiesOnlyForItsNamesAndItsAuthority)
{
    QTemporaryDir otherDirectory;
    const auto other = StandIn::makeTestCertificates(otherDirectory.path().toStdString(), {"localhost"}, {});
    struct Case {
        const char* name;
        std::string caFile;
        std::string hostName;
        bool verifies;
    };
    const Case cases[] = {
        {"DNS name", certificates.caFile, "localhost", true},
        {"IPv4 address", certificates.caFile, "127.0.0.1", true},
        {"another host name", certificates.caFile, "device-events.zorvik.example", false},
        {"an address not in the certificate", certificates.caFile, "127.0.0.2", false},
        {"another authority", other.caFile, "localhost", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TlsClient client(c.caFile, c.hostName);
        const error_code error = client.connect(server->port());
        EXPECT_EQ(!error, c.verifies) << error.message();
        if (!c.verifies) {
            EXPECT_EQ(error.category(), asio::error::get_ssl_category());
        }
    }
    EXPECT_TRUE(eventually([&] { return server->connectionCount() == std::size(cases); }));
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(StandInServer, CertificatesAreValidFromAnHourAgoForADay)
{
    for (const std::string& file : {certificates.caFile, certificates.certificateFile}) {
        SCOPED_TRACE(file);
        FILE* pem = std::fopen(file.c_str(), "r");
        ASSERT_NE(pem, nullptr);
        X509* certificate = PEM_read_X509(pem, nullptr, nullptr, nullptr);
        std::fclose(pem);
        ASSERT_NE(certificate, nullptr);
        int days = 0, seconds = 0;
        ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notBefore(certificate)), 1);
        EXPECT_EQ(days, 0);
        EXPECT_NEAR(seconds, -3600, 60);
        ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(certificate)), 1);
        EXPECT_NEAR(days * 86400 + seconds, 86400, 60);
        X509_free(certificate);
    }
}

TEST(StandInProgram, PrintsItsPortFirstThenOneLinePerRequestAndSavesEachRequest)
{
    QTemporaryDir directory;
    const QString certs = directory.path() + "/certs", logs = directory.path() + "/logs";
    ASSERT_TRUE(QDir().mkpath(certs) && QDir().mkpath(logs));
    QProcess program;
    program.start(ZORVIK_TEST_BIN_DIR "/zorvik-upload-standin",
                  {"--port", "0", "--make-certs", certs, "--dns", "localhost", "--status", "403", "--log-dir", logs});
    ASSERT_TRUE(program.waitForStarted(5000));
    ASSERT_TRUE(program.waitForReadyRead(10000));
    const std::string first = program.readLine().toStdString();
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
    const auto port = static_cast<unsigned short>(std::stoul(first.substr(prefix.size())));

    TlsClient client(certs.toStdString() + "/ca.pem", "localhost");
    ASSERT_FALSE(client.connect(port));
    const std::string request = head(3) + "abc";
    client.send({request});
    EXPECT_EQ(client.read(5s).bytes, StandIn::statusReply(403));

    std::string output;
    ASSERT_TRUE(eventually([&] {
        program.waitForReadyRead(10);
        output += program.readAll().toStdString();
        return output.find("request 1:") != std::string::npos && output.back() == '\n';
    }));
    EXPECT_NE(output.find("request 1: " + std::to_string(request.size()) + " bytes in 1 records, answered 403\n"),
              std::string::npos)
        << output;
    std::ifstream saved((logs + "/request-1.bin").toStdString(), std::ios::binary);
    std::stringstream savedBytes;
    savedBytes << saved.rdbuf();
    EXPECT_EQ(savedBytes.str(), request);

    program.terminate();
    ASSERT_TRUE(program.waitForFinished(5000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
}

TEST(StandInProgram, RefusesAnAddressThatIsNotLoopback)
{
    QTemporaryDir directory;
    QProcess program;
    program.start(ZORVIK_TEST_BIN_DIR "/zorvik-upload-standin",
                  {"--port", "0", "--address", "0.0.0.0", "--make-certs", directory.path(), "--dns", "localhost"});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 1);
    EXPECT_NE(program.readAllStandardError().indexOf("loopback"), -1);
    EXPECT_EQ(program.readAllStandardOutput().indexOf("listening"), -1);
}

TEST(StandInProgram, RefusesToStartWithoutAPortOrACertificate)
{
    const QStringList incomplete[] = {{"--make-certs", "/tmp", "--dns", "localhost"}, {"--port", "0"}};
    for (const QStringList& arguments : incomplete) {
        QProcess program;
        program.start(ZORVIK_TEST_BIN_DIR "/zorvik-upload-standin", arguments);
        ASSERT_TRUE(program.waitForFinished(5000));
        EXPECT_EQ(program.exitCode(), 2);
    }
}

} // namespace
