#pragma once

// Shared by the upload tests: throw-away certificates, the upload service
// stand-in on loopback, files in a temporary folder, and one upload run to its
// end with everything its callback saw.

#include "Event/Dispatcher.h"
#include "OpsFileUpload.h"
#include "RecordingSink.h"
#include "UploadStandIn.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <boost/make_shared.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace UploadTests {

const std::string deviceId = "ZRVK01" + std::string(40, 'a');

// What one upload did. `results` holds every result its callback received.
struct Outcome {
    bool started = false;
    std::vector<int> results;
    int httpStatus = -2;
    bool calledOnPool = true;
    bool calledOnCaller = false;

    int result() const { return results.size() == 1 ? results.front() : -99; }
};

// Every call of a callback: the result and where it ran.
struct CallbackLog {
    std::mutex mutex;
    std::vector<int> results;
    bool onPool = true;
    bool onCaller = false;
    std::thread::id caller = std::this_thread::get_id();
};

inline ThreadBoundCallback recordingCallback(const std::shared_ptr<CallbackLog>& log,
                                             Tellan::Event::ThreadId pool = Tellan::Event::DEFAULT_THREAD)
{
    ThreadBoundCallback callback;
    callback.threadId = pool;
    callback.function = [log, pool](int result) {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->results.push_back(result);
        log->onPool = log->onPool && Tellan::Event::Dispatcher::isCurrentThread(pool);
        log->onCaller = log->onCaller || std::this_thread::get_id() == log->caller;
    };
    return callback;
}

// Waits until every task posted to the pool so far has run: it has one thread.
inline void drainPool(Tellan::Event::ThreadId pool = Tellan::Event::DEFAULT_THREAD)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> ran = done->get_future();
    Tellan::Event::Dispatcher::post(pool, [done] { done->set_value(); });
    ASSERT_EQ(ran.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

// Runs one upload on the calling thread, as the File Upload thread would, and
// collects its results once the pool has run them.
inline Outcome runUpload(const QString& path, int type, const Tellan::OpsFileUpload::Endpoint& endpoint)
{
    Tellan::Event::Dispatcher::instance();
    auto log = std::make_shared<CallbackLog>();
    Outcome outcome;
    {
        Tellan::OpsFileUpload upload(boost::make_shared<Tellan::OpsFileInfo>(path, type), deviceId,
                                     recordingCallback(log), endpoint);
        outcome.started = upload.Start();
        outcome.httpStatus = upload.httpStatus;
    }
    drainPool();
    std::lock_guard<std::mutex> lock(log->mutex);
    outcome.results = log->results;
    outcome.calledOnPool = log->onPool;
    outcome.calledOnCaller = log->onCaller;
    return outcome;
}

// A port on 127.0.0.1 where nothing listens.
inline unsigned short closedPort()
{
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::address_v4::loopback(), 0});
    return acceptor.local_endpoint().port();
}

// The stand-in on 127.0.0.1 with a certificate for "localhost", 127.0.0.1 and
// ::1, a temporary folder for files, and a recording log sink.
class UploadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        certificateFolder = new QTemporaryDir();
        certificates =
            StandIn::makeTestCertificates(certificateFolder->path().toStdString(), {"localhost"}, {"127.0.0.1", "::1"});
    }

    static void TearDownTestSuite()
    {
        delete certificateFolder;
        certificateFolder = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        sink = &TestSupport::installRecordingSink();
        server = startServer(certificates);
    }

    static std::unique_ptr<StandIn::Server> startServer(const StandIn::TestCertificates& files,
                                                        const std::string& address = "127.0.0.1")
    {
        StandIn::Options options;
        options.certificateFile = files.certificateFile;
        options.privateKeyFile = files.privateKeyFile;
        options.address = address;
        return std::make_unique<StandIn::Server>(options);
    }

    // "localhost" at the stand-in's port, trusting the test authority.
    Tellan::OpsFileUpload::Endpoint endpoint(unsigned short port = 0) const
    {
        Tellan::OpsFileUpload::Endpoint result;
        result.host = "localhost";
        result.service = std::to_string(port ? port : server->port());
        // Straight to the loopback address: a bare system may have no hosts
        // entry for localhost. The name is still what the certificate must hold.
        result.addresses = {
            {boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(std::stoi(result.service))}};
        result.extraCaFile = certificates.caFile;
        // Long enough for a slow machine, short enough for a hung test to fail.
        result.connectBound = std::chrono::seconds(20);
        result.progressBound = std::chrono::seconds(20);
        return result;
    }

    QString writeFile(const QString& name, const QByteArray& content) const
    {
        const QString path = folder.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        EXPECT_EQ(file.write(content), content.size());
        return path;
    }

    Outcome upload(const QString& path, int type = Tellan::OpsFileInfo::LogFile) const
    {
        return runUpload(path, type, endpoint());
    }

    // The one request the stand-in received, once it is complete.
    StandIn::ReceivedRequest onlyRequest() const
    {
        EXPECT_TRUE(server->waitForRequests(1, std::chrono::seconds(10)));
        const std::vector<StandIn::ReceivedRequest> received = server->requests();
        EXPECT_EQ(received.size(), 1u);
        return received.empty() ? StandIn::ReceivedRequest() : received.front();
    }

    // Every record with an event, in order, as its level letter, component
    // and event: "E OpsFileUpload cannotWriteFile".
    std::vector<std::string> loggedEvents() const
    {
        std::vector<std::string> records;
        const std::string lead = " TellanHelper : ";
        for (const std::string& line : sink->lines()) {
            const std::size_t from = line.find(lead);
            if (from == std::string::npos)
                continue;
            const std::size_t levelAndComponent = from + lead.size();
            const std::size_t event = line.find(" : ", levelAndComponent);
            if (event == std::string::npos)
                continue;
            const std::size_t eventEnd = line.find(" :", event + 3);
            records.push_back(line.substr(levelAndComponent, event - levelAndComponent) + " "
                              + line.substr(event + 3, eventEnd - event - 3));
        }
        return records;
    }

    // The one line of `event`, or "" when there is not exactly one.
    std::string lineOf(const std::string& event) const
    {
        const std::vector<std::string> lines = sink->linesWithEvent(event);
        return lines.size() == 1 ? lines.front() : std::string();
    }

    static QTemporaryDir* certificateFolder;
    static StandIn::TestCertificates certificates;

    QTemporaryDir folder;
    TestSupport::RecordingSink* sink = nullptr;
    std::unique_ptr<StandIn::Server> server;
};

inline QTemporaryDir* UploadTest::certificateFolder = nullptr;
inline StandIn::TestCertificates UploadTest::certificates;

// How loggedEvents shows an ERROR record of the upload.
inline std::string uploadError(const std::string& event) { return "E OpsFileUpload " + event; }

inline std::vector<std::string> uploadErrors(const std::vector<std::string>& events)
{
    std::vector<std::string> records;
    for (const std::string& event : events)
        records.push_back(uploadError(event));
    return records;
}

// Bytes 0..255 over and over: every byte value, NUL included.
inline QByteArray binaryContent(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i % 256);
    return bytes;
}

} // namespace UploadTests
