// zorvik-upload-standin: serves the local stand-in for the device-event upload service until it is killed.
#include "UploadStandIn.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>

#include <pthread.h>

namespace {

const char usage[] =
    "usage: zorvik-upload-standin --port N [--address A] (--cert FILE --key FILE | --make-certs DIR --dns NAME...)\n"
    "                             [--ip ADDRESS...] [--status CODE] [--behaviour NAME] [--log-dir DIR]\n"
    "behaviours: status split trailing tls-close drop close-framed stall interim not-http drip endless\n"
    "the address must be a loopback address\n";

const std::map<std::string, StandIn::Behaviour> behaviours = {
    {"status", StandIn::Behaviour::Status},
    {"split", StandIn::Behaviour::SplitReply},
    {"trailing", StandIn::Behaviour::TrailingBytes},
    {"tls-close", StandIn::Behaviour::TlsCloseBeforeReply},
    {"drop", StandIn::Behaviour::DropWithoutClose},
    {"close-framed", StandIn::Behaviour::CloseFramed},
    {"stall", StandIn::Behaviour::Stall},
    {"interim", StandIn::Behaviour::Interim},
    {"not-http", StandIn::Behaviour::NotHttp},
    {"drip", StandIn::Behaviour::Drip},
    {"endless", StandIn::Behaviour::Endless},
};

std::string nameOf(StandIn::Behaviour behaviour)
{
    for (const auto& [name, value] : behaviours)
        if (value == behaviour)
            return name;
    return "?";
}

struct Arguments {
    StandIn::Options options;
    std::string certificateDirectory;
    std::vector<std::string> dnsNames, ipAddresses;
    StandIn::Reply reply;
    std::string logDirectory;
    bool portGiven = false;
};

bool parse(int argc, char** argv, Arguments& arguments)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        try {
            if (option == "--port") {
                const unsigned long port = std::stoul(value);
                if (port > 65535)
                    return false;
                arguments.options.port = static_cast<unsigned short>(port);
                arguments.portGiven = true;
            } else if (option == "--address") {
                arguments.options.address = value;
            } else if (option == "--cert") {
                arguments.options.certificateFile = value;
            } else if (option == "--key") {
                arguments.options.privateKeyFile = value;
            } else if (option == "--make-certs") {
                arguments.certificateDirectory = value;
            } else if (option == "--dns") {
                arguments.dnsNames.push_back(value);
            } else if (option == "--ip") {
                arguments.ipAddresses.push_back(value);
            } else if (option == "--status") {
                arguments.reply.status = std::stoi(value);
            } else if (option == "--behaviour") {
                const auto found = behaviours.find(value);
                if (found == behaviours.end())
                    return false;
                arguments.reply.behaviour = found->second;
            } else if (option == "--log-dir") {
                arguments.logDirectory = value;
            } else {
                return false;
            }
        } catch (const std::exception&) {
            return false;
        }
    }
    const bool givenFiles = !arguments.options.certificateFile.empty() && !arguments.options.privateKeyFile.empty();
    const bool madeFiles = !arguments.certificateDirectory.empty();
    return arguments.portGiven && givenFiles != madeFiles;
}

} // namespace

int main(int argc, char** argv)
{
    Arguments arguments;
    if (!parse(argc, argv, arguments)) {
        std::cerr << usage;
        return 2;
    }

    // Blocked before the server's thread starts, so that only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::mutex outputMutex;
    arguments.options.onRequest = [&](std::size_t index, const StandIn::ReceivedRequest& request,
                                      const StandIn::Reply& reply) {
        std::lock_guard<std::mutex> lock(outputMutex);
        std::cout << "request " << index + 1 << ": " << request.bytes.size() << " bytes in "
                  << request.tlsRecordSizes.size() << " records, ";
        if (!request.complete)
            std::cout << "incomplete, not answered";
        else if (reply.behaviour == StandIn::Behaviour::Status)
            std::cout << "answered " << reply.status;
        else
            std::cout << "answered " << nameOf(reply.behaviour) << " " << reply.status;
        std::cout << std::endl;
        if (!arguments.logDirectory.empty()) {
            const std::string path = arguments.logDirectory + "/request-" + std::to_string(index + 1) + ".bin";
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            file.write(request.bytes.data(), std::streamsize(request.bytes.size()));
            if (!file)
                std::cerr << "cannot write " << path << std::endl;
        }
    };

    try {
        if (!arguments.certificateDirectory.empty()) {
            std::vector<std::string> ipAddresses = arguments.ipAddresses;
            ipAddresses.push_back(arguments.options.address);
            const StandIn::TestCertificates files =
                StandIn::makeTestCertificates(arguments.certificateDirectory, arguments.dnsNames, ipAddresses);
            arguments.options.certificateFile = files.certificateFile;
            arguments.options.privateKeyFile = files.privateKeyFile;
        }
        // The first line names the port: hold back request lines until it is out.
        std::unique_lock<std::mutex> firstLine(outputMutex);
        StandIn::Server server(arguments.options);
        server.setReplies({}, arguments.reply);
        const bool v6 = arguments.options.address.find(':') != std::string::npos;
        std::cout << "listening on " << (v6 ? "[" : "") << arguments.options.address << (v6 ? "]" : "") << ":"
                  << server.port() << std::endl;
        if (!arguments.certificateDirectory.empty())
            std::cout << "certificate authority: " << arguments.certificateDirectory << "/ca.pem" << std::endl;
        firstLine.unlock();

        int signal = 0;
        sigwait(&stopSignals, &signal);
    } catch (const std::exception& error) {
        std::cerr << "zorvik-upload-standin: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
