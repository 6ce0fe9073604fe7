// zorvik-upload-demo: sends each file given through the helper's upload code,
// one after the other on the File Upload thread, as the helper's queue would,
// and prints each result. Log records go to standard error.
#include "Event/Dispatcher.h"
#include "Logger/LoggerBase.h"
#include "Logging/Logging.h"
#include "OpsFileUpload.h"

#include <QFileInfo>

#include <boost/make_shared.hpp>

#include <future>
#include <iostream>
#include <memory>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace {

const char usage[] = "usage: zorvik-upload-demo [--host NAME] --port N [--ca FILE] FILE...\n"
                     "       files ending in .dmp go as crash dumps, the others as log files\n";

class ConsoleLogger : public Tellan::LoggerBase<std::mutex> {
protected:
    void attachLocked(std::stringstream& pending) override
    {
        // Read to the end, as the dispatcher expects; inserting an empty
        // buffer would put std::cerr in its fail state.
        std::cerr << std::string(std::istreambuf_iterator<char>(pending), {}) << std::flush;
    }
    void closeLocked() override {}
    void writeLocked(const std::string& line) override { std::cerr << line << std::flush; }
    void rotateLocked() override {}
};

struct Result {
    bool started = false;
    int result = 0;
    int httpStatus = 0;
};

// Runs one upload on the File Upload thread; its result comes back there too.
Result send(const QString& path, const Tellan::OpsFileUpload::Endpoint& endpoint, const std::string& deviceId)
{
    using Tellan::Event::DEFAULT_THREAD;
    auto done = std::make_shared<std::promise<Result>>();
    auto upload = std::make_shared<std::unique_ptr<Tellan::OpsFileUpload>>();
    Tellan::Event::Dispatcher::post(DEFAULT_THREAD, [=] {
        const int type = QFileInfo(path).suffix() == "dmp" ? Tellan::OpsFileInfo::CrashDump
                                                           : Tellan::OpsFileInfo::LogFile;
        ThreadBoundCallback callback;
        callback.threadId = DEFAULT_THREAD;
        callback.function = [done, upload](int result) {
            Result outcome;
            outcome.started = true;
            outcome.result = result;
            outcome.httpStatus = (*upload)->httpStatus;
            done->set_value(outcome);
        };
        upload->reset(new Tellan::OpsFileUpload(boost::make_shared<Tellan::OpsFileInfo>(path, type), deviceId,
                                                callback, endpoint));
        if (!(*upload)->Start())
            done->set_value(Result());
    });
    const Result outcome = done->get_future().get();
    // Destroyed on the thread that ran it, after its result was read.
    std::promise<void> destroyed;
    Tellan::Event::Dispatcher::post(DEFAULT_THREAD, [&] {
        upload->reset();
        destroyed.set_value();
    });
    destroyed.get_future().wait();
    return outcome;
}

} // namespace

int main(int argc, char** argv)
{
    Tellan::OpsFileUpload::Endpoint endpoint;
    std::vector<QString> files;
    bool portGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--host" && hasValue) {
            endpoint.host = argv[++i];
        } else if (option == "--port" && hasValue) {
            endpoint.service = argv[++i];
            portGiven = true;
        } else if (option == "--ca" && hasValue) {
            endpoint.extraCaFile = argv[++i];
        } else if (option.rfind("--", 0) == 0) {
            std::cerr << usage;
            return 2;
        } else {
            files.push_back(QString::fromLocal8Bit(argv[i]));
        }
    }
    if (!portGiven || files.empty()) {
        std::cerr << usage;
        return 2;
    }

    Tellan::Logging::instance().setLogger(new ConsoleLogger());
    const std::string deviceId = "ZRVK010123456789abcdef0123456789abcdef01234567";

    int failures = 0;
    for (const QString& path : files) {
        const Result outcome = send(path, endpoint, deviceId);
        std::cout << QFileInfo(path).fileName().toStdString() << ": ";
        if (!outcome.started)
            std::cout << "not started";
        else
            std::cout << "result " << outcome.result << ", HTTP status " << outcome.httpStatus;
        std::cout << std::endl;
        if (!outcome.started || outcome.result != 0 || outcome.httpStatus != 200)
            ++failures;
    }
    return failures == 0 ? 0 : 1;
}
