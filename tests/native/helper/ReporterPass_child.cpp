// One start of the helper's report pass in a process of its own: builds the
// reporter (which runs its first pass) with uploads going to the stand-in on
// 127.0.0.1, waits until its queue has nothing left, and prints the records
// of the outcomes.
//
// Arguments: the stand-in's port, the authority file it is trusted by, and
// "wait" to read one line from standard input before the pass begins.

#include "Event/Dispatcher.h"
#include "RecordingSink.h"
#include "Storage/Storage.h"
#include "VykReporter.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

namespace {

bool idleOnUploadThread(const boost::shared_ptr<Tellan::OpsFileUploader>& uploader)
{
    auto idle = std::make_shared<std::promise<bool>>();
    std::future<bool> result = idle->get_future();
    Tellan::Event::Dispatcher::post(Tellan::Event::DEFAULT_THREAD,
                                    [idle, uploader] { idle->set_value(uploader->isIdle()); });
    return result.get();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    QCoreApplication app(argc, argv);
    if (!Tellan::Storage::InitStorageLocations())
        return 3;
    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();

    const unsigned short port = static_cast<unsigned short>(std::stoi(argv[1]));
    Tellan::OpsFileUploader::Options options;
    options.endpoint.host = "localhost";
    options.endpoint.service = argv[1];
    options.endpoint.addresses = {{boost::asio::ip::address_v4::loopback(), port}};
    options.endpoint.extraCaFile = argv[2];
    options.endpoint.connectBound = std::chrono::seconds(20);
    options.endpoint.progressBound = std::chrono::seconds(20);

    if (argc > 3 && std::string(argv[3]) == "wait") {
        std::string line;
        std::getline(std::cin, line);
    }

    Tellan::VykReporter reporter(options);
    const boost::shared_ptr<Tellan::OpsFileUploader> uploader = reporter.uploader();
    // The outcomes reach the reporter through this thread's event loop; the
    // quit is posted after the last of them.
    std::thread watcher([&app, uploader] {
        while (!idleOnUploadThread(uploader)) {}
        QMetaObject::invokeMethod(
            &app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    app.exec();
    watcher.join();

    for (const std::string& line : sink.lines()) {
        if (line.find(" VykReporter : ") != std::string::npos || line.find(" OpsFileUploader : ") != std::string::npos)
            std::fputs(line.c_str(), stdout);
    }
    return 0;
}
