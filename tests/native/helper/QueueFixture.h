#pragma once

// Shared by the upload queue and reporter tests: a Qt event loop on the test's
// main thread, a throw-away profile with the product's folders, the upload
// stand-in on loopback, and waits that end on events.

#include "Event/Dispatcher.h"
#include "OpsFileUploader.h"
#include "Storage/Storage.h"
#include "TempProfile.h"
#include "UploadFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace QueueTests {

inline void ensureApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "queue_test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: pool threads may still post to it while the process ends.
    new QCoreApplication(argc, argv);
}

// Runs the main thread's event loop until done() holds; false after limit.
// A repeating timer wakes the loop now and then to look at the clock.
inline bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    QElapsedTimer clock;
    clock.start();
    QTimer wake;
    wake.start(50);
    while (!done()) {
        if (clock.hasExpired(limit.count()))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Runs task on the File Upload thread and waits for its result.
template <typename Result>
Result onUploadThread(const std::function<Result()>& task)
{
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> result = promise->get_future();
    Tellan::Event::Dispatcher::post(Tellan::Event::DEFAULT_THREAD, [promise, task] { promise->set_value(task()); });
    if (result.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
        throw std::runtime_error("the File Upload thread did not run the task");
    return result.get();
}

// Waits until the queue has nothing queued and nothing in flight; its
// outcomes may still wait in the main thread's event queue.
inline bool waitUntilIdle(const boost::shared_ptr<Tellan::OpsFileUploader>& uploader,
                          std::chrono::seconds limit = std::chrono::seconds(60))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (onUploadThread<bool>([uploader] { return uploader->isIdle(); }))
            return true;
    }
    return false;
}

// Holds the File Upload thread until open() is called, so that the tasks
// posted meanwhile queue up behind it in a known order.
class UploadThreadGate {
public:
    UploadThreadGate()
    {
        auto opened = std::make_shared<std::promise<void>>();
        gate = opened;
        std::shared_future<void> wait = opened->get_future().share();
        auto entered = std::make_shared<std::promise<void>>();
        std::future<void> inside = entered->get_future();
        Tellan::Event::Dispatcher::post(Tellan::Event::DEFAULT_THREAD, [wait, entered] {
            entered->set_value();
            wait.wait();
        });
        inside.wait();
    }
    ~UploadThreadGate() { open(); }
    void open()
    {
        if (gate) {
            gate->set_value();
            gate.reset();
        }
    }

private:
    std::shared_ptr<std::promise<void>> gate;
};

// Every outcome the queue reported, in order, as the main thread received it.
struct Outcome {
    QString path;
    bool success;
    int error;
    int httpCode;
};

class OutcomeRecorder : public QObject {
public:
    explicit OutcomeRecorder(Tellan::OpsFileUploader* uploader)
    {
        connect(uploader, &Tellan::OpsFileUploader::uploadSuccess, this, [this](const QString& path) {
            outcomes.push_back({path, true, 0, 200});
        });
        connect(uploader, &Tellan::OpsFileUploader::uploadFailure, this,
                [this](const QString& path, int error, int code) {
                    outcomes.push_back({path, false, error, code});
                });
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        return pumpUntil([&] { return outcomes.size() >= count; }, limit);
    }
    std::vector<Outcome> outcomes;
};

// The file names that the stand-in received, in order (from each request's
// key), also those of requests that did not complete.
inline std::vector<std::string> receivedNames(const StandIn::Server& server)
{
    std::vector<std::string> names;
    for (const StandIn::ReceivedRequest& request : server.requests()) {
        const std::string key = "?key=";
        const std::size_t from = request.bytes.find(key);
        const std::size_t to = request.bytes.find(' ', from);
        if (from == std::string::npos || to == std::string::npos)
            continue;
        const std::string encoded = request.bytes.substr(from + key.size(), to - from - key.size());
        names.push_back(QUrl::fromPercentEncoding(QByteArray::fromStdString(encoded)).toStdString());
    }
    return names;
}

// A profile for the whole test program, removed at exit: Storage's folders
// live in it.
inline TestSupport::TempProfile& profile()
{
    static TestSupport::TempProfile p;
    static const bool made = Tellan::Storage::InitStorageLocations();
    if (!made)
        throw std::runtime_error("cannot create the product folders");
    return p;
}

// The stand-in, a recording sink, the event loop and empty product folders.
class QueueTest : public UploadTests::UploadTest {
protected:
    void SetUp() override
    {
        ensureApplication();
        profile();
        Tellan::Event::Dispatcher::instance();
        UploadTest::SetUp();
        for (const QString& folder : {logs(), crashReports()}) {
            QDir(folder).removeRecursively();
            ASSERT_TRUE(QDir().mkpath(folder));
        }
    }

    static QString logs() { return Tellan::Storage::logsDirectory(); }
    static QString crashReports() { return Tellan::Storage::crashReportsDirectory(); }

    Tellan::OpsFileUploader::Options
    options(boost::posix_time::time_duration firstRetry = boost::posix_time::milliseconds(1)) const
    {
        Tellan::OpsFileUploader::Options result;
        result.endpoint = endpoint();
        result.firstRetryDelay = firstRetry;
        return result;
    }

    boost::shared_ptr<Tellan::OpsFileUploader>
    makeUploader(boost::posix_time::time_duration firstRetry = boost::posix_time::milliseconds(1)) const
    {
        return boost::shared_ptr<Tellan::OpsFileUploader>(new Tellan::OpsFileUploader(nullptr, options(firstRetry)));
    }

    // Lines of records with this level letter (D, I, W, E), component and event.
    std::vector<std::string> records(const char* level, const char* component, const char* event) const
    {
        return sink->linesContaining(std::string(" : ") + level + " " + component + " : " + event + " : ");
    }

    static QString put(const QString& folder, const QString& name, qint64 size, qint64 lastWrite = 0)
    {
        const QString path = folder + "/" + name;
        TestSupport::writeFile(path, size, lastWrite);
        return path;
    }
};

} // namespace QueueTests
