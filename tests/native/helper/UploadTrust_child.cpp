// Sends one file to "localhost" at 127.0.0.1:port with the helper's trust
// settings (the extra authorities of extra-ca, none without it), and prints
// "result R status S" and the events of the records logged, one per line. The
// system's trust store is what the environment (SSL_CERT_FILE, SSL_CERT_DIR)
// makes it.
//
//   UploadTrust_child port file [extra-ca]

#include "Event/Dispatcher.h"
#include "OpsFileUpload.h"
#include "RecordingSink.h"

#include <boost/make_shared.hpp>

#include <future>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4)
        return 2;
    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
    Tellan::Event::Dispatcher::instance();

    Tellan::OpsFileUpload::Endpoint endpoint;
    endpoint.host = "localhost";
    endpoint.service = argv[1];
    endpoint.addresses = {{boost::asio::ip::address_v4::loopback(), static_cast<unsigned short>(std::stoi(argv[1]))}};
    endpoint.extraCaFile = argc == 4 ? argv[3] : "";

    auto result = std::make_shared<std::promise<int>>();
    ThreadBoundCallback callback;
    callback.threadId = Tellan::Event::DEFAULT_THREAD;
    callback.function = [result](int value) { result->set_value(value); };
    int status = 0;
    {
        Tellan::OpsFileUpload upload(boost::make_shared<Tellan::OpsFileInfo>(QString::fromLocal8Bit(argv[2]), 0),
                                     "ZRVK01" + std::string(40, '0'), callback, endpoint);
        if (!upload.Start())
            return 3;
        status = upload.httpStatus;
    }
    std::cout << "result " << result->get_future().get() << " status " << status << std::endl;
    for (const std::string& event : sink.events())
        if (!event.empty())
            std::cout << event << std::endl;
    return 0;
}
