// The upload against the stand-in over loopback, real TLS: the bytes on the
// wire, the replies, the files that cannot be sent or change while they are.

#include "ScriptedSocketOptions.h"
#include "TcpRelay.h"
#include "UploadFixture.h"

#include "Platform/Platform.h"

#include <QFileInfo>

#include <gmock/gmock.h>

using namespace UploadTests;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
using Tellan::OpsFileInfo;

namespace {

std::string headerValue(const std::string& request, const std::string& name)
{
    const std::string key = "\r\n" + name + ": ";
    const std::size_t at = request.find(key);
    if (at == std::string::npos)
        return "<none>";
    const std::size_t from = at + key.size();
    return request.substr(from, request.find("\r\n", from) - from);
}

std::string requestLine(const std::string& request) { return request.substr(0, request.find("\r\n")); }

// The bytes after the line feed that ends the head.
std::size_t bytesAfterHead(const std::string& request)
{
    const std::size_t end = request.find("\r\n\n");
    return end == std::string::npos ? 0 : request.size() - (end + 3);
}

} // namespace

using OpsFileUploadWire = UploadTest;

TEST_F(OpsFileUploadWire, LogFileGoesOutAsHeadPreambleFileAndOneSpace)
{
    const QByteArray content(500, 'L');
    const QString path = writeFile("ZorvikMusic-browser-v9.5.2.2478-240102-030405.log", content);

    const Outcome outcome = upload(path);

    ASSERT_TRUE(outcome.started);
    EXPECT_EQ(outcome.result(), 0);
    EXPECT_EQ(outcome.httpStatus, 200);
    const StandIn::ReceivedRequest request = onlyRequest();
    EXPECT_EQ(request.bytes,
              "POST /DeviceEventProxy/VYKLogServlet?key=ZorvikMusic-browser-v9.5.2.2478-240102-030405.log HTTP/1.1\r\n"
              "Connection: keep-alive\r\n"
              "Content-Length: 596\r\n"
              "Content-Type: Text\r\n"
              "Host: " ZORVIK_UPLOAD_HOST "\r\n"
              "X-Content-Type: PavrelLogFormat-1.0\r\n"
              "X-DSN: "
                  + deviceId
                  + "\r\n"
                    "X-DeviceFirmwareVersion: 9.5.2.2478\r\n"
                    "X-Upload-Tag: ZorvikMusic\r\n"
                    "X-devicetype: R4TKW9XQ2MNB7F\r\n"
                    "\nFiles: messages.0\nMFBS/1.0 1\nContent-Name: Content\nContent-Encoding: text\n"
                    "Content-Length: 500\n\n"
                  + content.toStdString() + " ");
    EXPECT_EQ(bytesAfterHead(request.bytes), 596u);
    EXPECT_TRUE(request.complete);
    EXPECT_EQ(request.bytesAfterBody, "");
    EXPECT_THAT(loggedEvents(), ElementsAre());
    // The upload logs its end, with nothing but the function.
    EXPECT_EQ(sink->linesContaining("function Tellan::OpsFileUpload::~OpsFileUpload").size(), 1u);
}

TEST_F(OpsFileUploadWire, CrashDumpKeepsEveryByteAndDiffersOnlyInItsContentType)
{
    const QByteArray content = binaryContent(5000);
    const QString path = writeFile("0b5c7e2a-1f3d-4e5a-9b8c-7d6e5f4a3b2c.dmp", content);

    const Outcome outcome = upload(path, OpsFileInfo::CrashDump);

    EXPECT_EQ(outcome.result(), 0);
    const std::string bytes = onlyRequest().bytes;
    EXPECT_EQ(requestLine(bytes),
              "POST /DeviceEventProxy/VYKLogServlet?key=0b5c7e2a-1f3d-4e5a-9b8c-7d6e5f4a3b2c.dmp HTTP/1.1");
    EXPECT_EQ(headerValue(bytes, "X-Content-Type"), "BinaryFile");
    EXPECT_EQ(headerValue(bytes, "X-Upload-Tag"), "CRASH");
    EXPECT_EQ(headerValue(bytes, "Content-Length"), std::to_string(bytesAfterHead(bytes)));
    const std::string preamble = "\nFiles: messages.0\nMFBS/1.0 1\nContent-Name: Content\nContent-Encoding: text\n"
                                 "Content-Length: 5000\n\n";
    const std::string body = preamble + std::string(content.constData(), std::size_t(content.size())) + " ";
    ASSERT_GE(bytes.size(), body.size());
    EXPECT_TRUE(bytes.compare(bytes.size() - body.size(), body.size(), body) == 0);
    EXPECT_EQ(headerValue(bytes, "Content-Length"), std::to_string(body.size() - 1));
}

// The request format is tested on its own; one name shows that its target
// and tag are what goes on the wire.
TEST_F(OpsFileUploadWire, FileNameGoesIntoTheTargetPercentEncoded)
{
    const QString path = writeFile(QString::fromUtf8("Zorvik Music-v1 \xc3\xa9.log"), "x");

    EXPECT_EQ(upload(path).result(), 0);

    const std::string bytes = onlyRequest().bytes;
    EXPECT_EQ(requestLine(bytes), "POST /DeviceEventProxy/VYKLogServlet?key=Zorvik%20Music-v1%20%C3%A9.log HTTP/1.1");
    EXPECT_EQ(headerValue(bytes, "X-Upload-Tag"), "unknown");
}

struct RecordCase {
    int fileSize;
    std::vector<std::size_t> chunks; // TLS records after the head and the preamble
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.fileSize << " bytes"; }

class OpsFileUploadChunks : public UploadTest, public testing::WithParamInterface<RecordCase> {};

TEST_P(OpsFileUploadChunks, FileGoesOutInPiecesOf4096BytesAndTheLastCarriesTheSpace)
{
    const RecordCase& c = GetParam();
    const QString path = writeFile("ZorvikMusic-v1-240102-030405.log", QByteArray(c.fileSize, 'c'));

    EXPECT_EQ(upload(path).result(), 0);

    const StandIn::ReceivedRequest request = onlyRequest();
    ASSERT_EQ(request.tlsRecordSizes.size(), 2 + c.chunks.size());
    const std::size_t headSize = request.bytes.find("\r\n\n") + 2;
    EXPECT_EQ(request.tlsRecordSizes[0], headSize);
    EXPECT_EQ(request.tlsRecordSizes[1], 93 + std::to_string(c.fileSize).size());
    EXPECT_THAT(std::vector<std::size_t>(request.tlsRecordSizes.begin() + 2, request.tlsRecordSizes.end()),
                ElementsAreArray(c.chunks));
}

INSTANTIATE_TEST_SUITE_P(Sizes, OpsFileUploadChunks,
                         testing::Values(RecordCase{1, {2}}, RecordCase{4095, {4096}}, RecordCase{4096, {4097}},
                                         RecordCase{4097, {4096, 2}}, RecordCase{8193, {4096, 4096, 2}}),
                         [](const testing::TestParamInfo<RecordCase>& info) {
                             return "Bytes" + std::to_string(info.param.fileSize);
                         });

struct ReplyCase {
    const char* name;
    StandIn::Reply reply;
    int result;
    int httpStatus;
    std::vector<std::string> events;
};

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class OpsFileUploadReplies : public UploadTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(OpsFileUploadReplies, OnlyACompleteReplyGivesResultZeroAndItsStatus)
{
    const ReplyCase& c = GetParam();
    server->setReplies({c.reply});
    const QString path = writeFile("ZorvikMusic-v1-240102-030405.log", QByteArray(6000, 'r'));

    const Outcome outcome = upload(path);

    EXPECT_TRUE(outcome.started);
    EXPECT_THAT(outcome.results, ElementsAre(c.result));
    EXPECT_TRUE(outcome.calledOnPool);
    EXPECT_FALSE(outcome.calledOnCaller);
    EXPECT_EQ(outcome.httpStatus, c.httpStatus);
    EXPECT_THAT(loggedEvents(), ElementsAreArray(uploadErrors(c.events)));
    EXPECT_TRUE(onlyRequest().complete);
}

using StandIn::Behaviour;
INSTANTIATE_TEST_SUITE_P(
    Replies, OpsFileUploadReplies,
    testing::Values(ReplyCase{"Accepted", {Behaviour::Status, 200}, 0, 200, {}},
                    ReplyCase{"Refused", {Behaviour::Status, 403}, 0, 403, {}},
                    ReplyCase{"ServerError", {Behaviour::Status, 500}, 0, 500, {}},
                    ReplyCase{"SplitOverReads", {Behaviour::SplitReply, 200}, 0, 200, {}},
                    ReplyCase{"SplitRefusal", {Behaviour::SplitReply, 403}, 0, 403, {}},
                    // Bytes after a complete reply are logged; the one result stays 0.
                    ReplyCase{"TrailingBytes", {Behaviour::TrailingBytes, 200}, 0, 200, {"httpParsedMismatch"}},
                    ReplyCase{"TlsCloseBeforeReply", {Behaviour::TlsCloseBeforeReply, 200}, -1, 0, {"socketReadError"}},
                    ReplyCase{
                        "DropWithoutClose", {Behaviour::DropWithoutClose, 200}, -1, 0, {"cannotReadServerResponse"}},
                    // A reply framed only by the end of the connection never completes.
                    ReplyCase{"CloseFramed", {Behaviour::CloseFramed, 200}, -1, 0, {"socketReadError"}},
                    // "100 Continue" and "103 Early Hints" come before the reply that counts.
                    ReplyCase{"InterimThenAccepted", {Behaviour::Interim, 200}, 0, 200, {}},
                    ReplyCase{"InterimThenRefused", {Behaviour::Interim, 403}, 0, 403, {}},
                    // Two final replies in one read: the last one counts, and a
                    // 500 keeps the file queued.
                    ReplyCase{"AcceptedThenServerErrorInOneRead", {Behaviour::TwoReplies, 200, 500}, 0, 500, {}},
                    ReplyCase{"ServerErrorThenAcceptedInOneRead", {Behaviour::TwoReplies, 500, 200}, 0, 200, {}},
                    ReplyCase{"ContinueThenAcceptedInOneRead", {Behaviour::TwoReplies, 100, 200}, 0, 200, {}},
                    // The exchange ends with the read that completed a final reply.
                    ReplyCase{"ServerErrorInALaterRead", {Behaviour::SecondReplyLater, 200, 500}, 0, 200, {}},
                    ReplyCase{"NotHttp", {Behaviour::NotHttp, 200}, -1, 0, {"httpParsedMismatch"}}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST_F(OpsFileUploadWire, TrailingBytesAreLoggedWithWhatTheParserTookAndWhatWasRead)
{
    server->setReplies({{Behaviour::TrailingBytes, 200}});
    upload(writeFile("a.log", "x"));

    const std::string reply = StandIn::statusReply(200);
    const std::string line = lineOf("httpParsedMismatch");
    EXPECT_THAT(line, HasSubstr("httpParsed = " + std::to_string(reply.size())));
    EXPECT_THAT(line, HasSubstr("httpRead = " + std::to_string(reply.size() + 34)));
}

struct UnsendableCase {
    const char* name;
    const char* event;
};

void PrintTo(const UnsendableCase& c, std::ostream* os) { *os << c.name; }

class OpsFileUploadUnsendable : public UploadTest, public testing::WithParamInterface<UnsendableCase> {};

// A file that cannot be sent makes no connection and reports nothing.
TEST_P(OpsFileUploadUnsendable, StartFailsWithItsRecordAndNoConnection)
{
    const UnsendableCase& c = GetParam();
    QString path = folder.filePath("ZorvikMusic-v1-240102-030405.log");
    if (std::string(c.name) == "Empty")
        path = writeFile("ZorvikMusic-v1-240102-030405.log", QByteArray());
    else if (std::string(c.name) == "Folder") {
        ASSERT_TRUE(QDir(folder.path()).mkdir("ZorvikMusic-v1-240102-030405.log"));
    }

    const Outcome outcome = upload(path);

    EXPECT_FALSE(outcome.started);
    EXPECT_THAT(outcome.results, ElementsAre());
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError(c.event)));
    EXPECT_THAT(lineOf(c.event), HasSubstr("path = " + path.toStdString()));
    EXPECT_EQ(server->connectionCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Files, OpsFileUploadUnsendable,
                         testing::Values(UnsendableCase{"Empty", "logFileEmpty"},
                                         UnsendableCase{"Missing", "logFileEmpty"},
                                         // A folder has a size but cannot be read as a file.
                                         UnsendableCase{"Folder", "cannotOpenLogFile"}),
                         [](const testing::TestParamInfo<UnsendableCase>& info) {
                             return std::string(info.param.name);
                         });

struct ChangeCase {
    int size;
    int change; // bytes taken off (negative) or added while the upload connects
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.size << " bytes, " << c.change << " changed"; }

class OpsFileUploadChangingFile : public UploadTest, public testing::WithParamInterface<ChangeCase> {
protected:
    // The file changes once the upload has measured it and built its request:
    // when its connection arrives, before the handshake can finish.
    Outcome uploadChanging(const QString& path, int change)
    {
        TestSupport::TcpRelay::Options options;
        options.targetPort = server->port();
        options.onAccept = [path, change] {
            QFile file(path);
            if (change < 0) {
                file.resize(file.size() + change);
            } else {
                file.open(QIODevice::Append);
                file.write(QByteArray(change, '+'));
            }
        };
        TestSupport::TcpRelay relay(options);
        return runUpload(path, OpsFileInfo::LogFile, endpoint(relay.port()));
    }
};

TEST_P(OpsFileUploadChangingFile, ShrunkFileIsPaddedWithSpacesToTheAnnouncedLength)
{
    const ChangeCase& c = GetParam();
    const QByteArray content = binaryContent(c.size);
    const QString path = writeFile("ZorvikMusic-v1-240102-030405.log", content);

    const Outcome outcome = uploadChanging(path, -c.change);

    EXPECT_THAT(outcome.results, ElementsAre(0));
    EXPECT_EQ(outcome.httpStatus, 200);
    const StandIn::ReceivedRequest request = onlyRequest();
    const std::string body = content.left(c.size - c.change).toStdString() + " " + std::string(c.change, ' ');
    ASSERT_GE(request.bytes.size(), body.size());
    EXPECT_TRUE(request.bytes.compare(request.bytes.size() - body.size(), body.size(), body) == 0);
    EXPECT_EQ(request.bytesAfterBody, "");
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("sentDataContentLengthMisMatch")));
    EXPECT_THAT(lineOf("sentDataContentLengthMisMatch"),
                HasSubstr("contentLength = " + std::to_string(c.size) + " , "));
    EXPECT_THAT(lineOf("sentDataContentLengthMisMatch"),
                HasSubstr("sentAmount = " + std::to_string(c.size - c.change) + " "));
}

// A grown file's new tail never leaks past the announced body: the request
// stays well-framed and the exchange fails, so the file is sent whole on the
// next attempt.
TEST_P(OpsFileUploadChangingFile, GrownFileSendsOnlyTheAnnouncedBytesAndFails)
{
    const ChangeCase& c = GetParam();
    const QByteArray content = binaryContent(c.size);
    const QString path = writeFile("ZorvikMusic-v1-240102-030405.log", content);

    const Outcome outcome = uploadChanging(path, c.change);

    // The queue keeps a file unless the status says otherwise: it stays 0.
    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_EQ(outcome.httpStatus, 0);
    const StandIn::ReceivedRequest request = onlyRequest();
    EXPECT_TRUE(request.complete);
    const std::string body = content.toStdString() + " ";
    ASSERT_GE(request.bytes.size(), body.size());
    EXPECT_TRUE(request.bytes.compare(request.bytes.size() - body.size(), body.size(), body) == 0);
    EXPECT_EQ(request.bytesAfterBody, "");
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("sentDataContentLengthMisMatch")));
    EXPECT_THAT(lineOf("sentDataContentLengthMisMatch"),
                HasSubstr("fileSize = " + std::to_string(c.size + c.change) + " "));
    EXPECT_EQ(QFileInfo(path).size(), c.size + c.change);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OpsFileUploadChangingFile,
                         // Within the last piece, at a piece boundary, and by
                         // more than a TLS record can carry.
                         testing::Values(ChangeCase{10000, 1500}, ChangeCase{8192, 4096}, ChangeCase{4096, 10},
                                         ChangeCase{40000, 20000}),
                         [](const testing::TestParamInfo<ChangeCase>& info) {
                             return "Bytes" + std::to_string(info.param.size) + "By"
                                    + std::to_string(info.param.change);
                         });

struct FailureCase {
    const char* name;
    int fileSize;
    std::size_t deviceIdSize; // 0: the usual device id
    int shrinkTo; // when the connection arrives; -1: no change
    std::size_t cutAfter; // client bytes after which the connection is reset; 0: never
    StandIn::Reply reply;
    std::vector<std::string> events;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class OpsFileUploadFailures : public UploadTest, public testing::WithParamInterface<FailureCase> {};

// The queue waits for the result: every way an exchange fails reports it, once,
// on the callback's pool.
TEST_P(OpsFileUploadFailures, ReportMinusOneExactlyOnceOnTheCallbacksPool)
{
    const FailureCase& c = GetParam();
    server->setReplies({c.reply});
    const QString path = writeFile("ZorvikMusic-v1-240102-030405.log", QByteArray(c.fileSize, 'f'));
    TestSupport::TcpRelay::Options options;
    options.targetPort = server->port();
    if (c.shrinkTo >= 0)
        options.onAccept = [path, c] { QFile::resize(path, c.shrinkTo); };
    if (c.cutAfter)
        options.cutAfterClientBytes = c.cutAfter;
    TestSupport::TcpRelay relay(options);

    auto log = std::make_shared<CallbackLog>();
    int httpStatus = -2;
    {
        const std::string device = c.deviceIdSize ? "ZRVK01" + std::string(c.deviceIdSize, 'd') : deviceId;
        Tellan::OpsFileUpload upload(boost::make_shared<OpsFileInfo>(path, 0), device, recordingCallback(log),
                                     endpoint(relay.port()));
        EXPECT_TRUE(upload.Start());
        httpStatus = upload.httpStatus;
    }
    drainPool();

    std::lock_guard<std::mutex> lock(log->mutex);
    EXPECT_THAT(log->results, ElementsAre(-1));
    EXPECT_TRUE(log->onPool);
    EXPECT_FALSE(log->onCaller);
    EXPECT_EQ(httpStatus, 0);
    EXPECT_THAT(loggedEvents(), ElementsAreArray(uploadErrors(c.events)));
}

const int bigFile = 32 * 1024 * 1024;
const std::size_t oneMiB = 1024 * 1024;

INSTANTIATE_TEST_SUITE_P(
    Paths, OpsFileUploadFailures,
    testing::Values(
        FailureCase{"ParserRejectsTheReply", 100, 0, -1, 0, {Behaviour::NotHttp, 200}, {"httpParsedMismatch"}},
        // Emptied after it was measured, while the connection is made: the
        // request announces its size, and the first read finds no bytes. (An
        // emptying while pieces are read could also fall inside a read, which
        // then ends short and takes the shrunk-file path instead.)
        FailureCase{"FileEmptiedBeforeItsFirstRead", bigFile, 0, 0, 0, {}, {"cannotProperlyReadLogFile"}},
        // A head far larger than the socket buffers is still being written when the connection is reset.
        FailureCase{"HeadWriteFails", 100, 16 * oneMiB, -1, 64 * 1024, {}, {"cannotWriteRequest"}},
        FailureCase{"FileWriteFails", bigFile, 0, -1, oneMiB, {}, {"cannotWriteFile"}},
        // Shrunk to one byte: the closing space, then spaces up to the announced length.
        FailureCase{"PaddingWriteFails",
                    bigFile,
                    0,
                    1,
                    oneMiB,
                    {},
                    {"sentDataContentLengthMisMatch", "cannotFinishFileWrite"}}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(OpsFileUploadWire, LineEndsInAStoredDeviceIdNeverStartAHeaderLine)
{
    const std::string stored = "ZRVK01" + std::string(40, 'b') + "\r\nX-Injected: yes\n";
    const auto log = std::make_shared<CallbackLog>();
    {
        Tellan::OpsFileUpload upload(boost::make_shared<OpsFileInfo>(writeFile("a.log", "x"), 0), stored,
                                     recordingCallback(log), endpoint());
        ASSERT_TRUE(upload.Start());
        EXPECT_EQ(upload.httpStatus, 200);
    }
    drainPool();

    const std::string bytes = onlyRequest().bytes;
    EXPECT_EQ(headerValue(bytes, "X-DSN"), "ZRVK01" + std::string(40, 'b') + "  X-Injected: yes ");
    EXPECT_EQ(bytes.find("\nX-Injected"), std::string::npos);
    EXPECT_EQ(headerValue(bytes, "Content-Length"), std::to_string(bytesAfterHead(bytes)));
}

using OpsFileUploadConnection = UploadTest;

// Small writes go out at once, and the request's many small TLS records are
// held back into full segments until the request is out, then sent.
TEST_F(OpsFileUploadConnection, RequestIsCorkedOnItsConnectionUntilItIsOut)
{
    TestSupport::ScriptedSocketOptions options;
    Outcome outcome;
    {
        Tellan::Platform::ScopedInstall<Tellan::Platform::SocketOptions> install(&options);
        outcome = upload(writeFile("a.log", QByteArray(10000, 'k')));
    }

    EXPECT_THAT(outcome.results, ElementsAre(0));
    const auto calls = options.calls();
    std::vector<std::string> names;
    for (const auto& call : calls)
        names.push_back(call.option);
    EXPECT_THAT(names, ElementsAre("noDelay on", "cork on", "cork off"));
    for (const auto& call : calls)
        EXPECT_EQ(call.socket, calls.front().socket);
    EXPECT_GE(calls.front().socket, 0);
}

TEST_F(OpsFileUploadConnection, SecondAddressIsTriedWhenTheFirstRefuses)
{
    const unsigned short port = server->port();
    Tellan::OpsFileUpload::Endpoint both = endpoint();
    both.addresses = {{boost::asio::ip::make_address("127.0.0.1"), closedPort()},
                      {boost::asio::ip::make_address("127.0.0.1"), port}};

    const Outcome outcome = runUpload(writeFile("a.log", "x"), OpsFileInfo::LogFile, both);

    EXPECT_THAT(outcome.results, ElementsAre(0));
    EXPECT_THAT(loggedEvents(), ElementsAre());
    EXPECT_TRUE(onlyRequest().complete);
}

TEST_F(OpsFileUploadConnection, NoAddressAcceptingGivesTheLastAttemptsError)
{
    // The second attempt's error is the one logged.
    Tellan::OpsFileUpload::Endpoint none = endpoint();
    none.addresses = {{boost::asio::ip::make_address("::1"), closedPort()},
                      {boost::asio::ip::make_address("127.0.0.1"), closedPort()}};

    const Outcome outcome = runUpload(writeFile("a.log", "x"), OpsFileInfo::LogFile, none);

    EXPECT_TRUE(outcome.started);
    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_EQ(outcome.httpStatus, 0);
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotAcceptServer")));
    EXPECT_THAT(lineOf("cannotAcceptServer"), HasSubstr("error = Connection refused"));
}

TEST_F(OpsFileUploadConnection, NameThatDoesNotResolveFails)
{
    Tellan::OpsFileUpload::Endpoint unknown = endpoint();
    unknown.addresses.clear();
    unknown.service = "no-such-service-for-zorvik";

    const Outcome outcome = runUpload(writeFile("a.log", "x"), OpsFileInfo::LogFile, unknown);

    EXPECT_THAT(outcome.results, ElementsAre(-1));
    EXPECT_THAT(loggedEvents(), ElementsAre(uploadError("cannotResolveUrl")));
}

TEST_F(OpsFileUploadConnection, TheHostNameIsResolvedWhenNoAddressIsGiven)
{
    boost::asio::io_context io;
    boost::system::error_code error;
    boost::asio::ip::tcp::resolver(io).resolve("localhost", "1", error);
    if (error)
        GTEST_SKIP() << "localhost does not resolve on this machine";
    Tellan::OpsFileUpload::Endpoint named = endpoint();
    named.addresses.clear();

    const Outcome outcome = runUpload(writeFile("a.log", "x"), OpsFileInfo::LogFile, named);

    EXPECT_THAT(outcome.results, ElementsAre(0));
    EXPECT_TRUE(onlyRequest().complete);
}

// The uploader keeps a finished upload until its next one: the connection and
// the TLS state must not wait with it.
TEST_F(OpsFileUploadConnection, ConnectionIsClosedOnceTheResultIsKnown)
{
    const auto log = std::make_shared<CallbackLog>();
    Tellan::Event::Dispatcher::instance();
    Tellan::OpsFileUpload upload(boost::make_shared<OpsFileInfo>(writeFile("a.log", "x"), 0), deviceId,
                                 recordingCallback(log), endpoint());
    ASSERT_TRUE(upload.Start());
    EXPECT_EQ(upload.httpStatus, 200);

    EXPECT_TRUE(server->waitForClosedConnections(1, std::chrono::seconds(60)));
    drainPool();
}

TEST_F(OpsFileUploadConnection, ResultIsPostedToTheCallbacksPoolNeverCalledDirectly)
{
    const Outcome outcome = upload(writeFile("a.log", "x"));

    ASSERT_THAT(outcome.results, ElementsAre(0));
    EXPECT_TRUE(outcome.calledOnPool);
    EXPECT_FALSE(outcome.calledOnCaller);
}

TEST_F(OpsFileUploadConnection, ResultForAPoolThatDoesNotExistIsDropped)
{
    auto log = std::make_shared<CallbackLog>();
    Tellan::Event::Dispatcher::instance();
    {
        Tellan::OpsFileUpload upload(boost::make_shared<OpsFileInfo>(writeFile("a.log", "x"), 0), deviceId,
                                     recordingCallback(log, Tellan::Event::DOWNLOAD_THREAD), endpoint());
        EXPECT_TRUE(upload.Start());
        EXPECT_EQ(upload.httpStatus, 200);
    }
    drainPool();
    EXPECT_TRUE(log->results.empty());
}
