// Time to upload a 64 MiB file to the upload stand-in over loopback TLS:
// the helper's upload (4096-byte pieces, one write in flight) side by side with
// `curl --data-binary` posting the same file to the same kind of server.
// Run by hand; CTest does not run it.

#include "Event/Dispatcher.h"
#include "OpsFileUpload.h"
#include "UploadStandIn.h"

#include <QFile>
#include <QTemporaryDir>

#include <boost/make_shared.hpp>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

const int fileSize = 64 * 1024 * 1024;
const int rounds = 3;

typedef std::chrono::duration<double> Seconds;

struct Setup {
    StandIn::TestCertificates certificates;
    QString path;
};

std::unique_ptr<StandIn::Server> startServer(const Setup& setup)
{
    StandIn::Options options;
    options.certificateFile = setup.certificates.certificateFile;
    options.privateKeyFile = setup.certificates.privateKeyFile;
    return std::make_unique<StandIn::Server>(options);
}

bool receivedWhole(const StandIn::Server& server)
{
    if (!server.waitForRequests(1, std::chrono::seconds(30)))
        return false;
    const std::vector<StandIn::ReceivedRequest> requests = server.requests();
    return requests.size() == 1 && requests.front().bytes.size() > std::size_t(fileSize);
}

// One upload through the helper's code, on this thread as on the File Upload thread.
Seconds timeUpload(const Setup& setup)
{
    const auto server = startServer(setup);
    Tellan::OpsFileUpload::Endpoint endpoint;
    endpoint.host = "localhost";
    endpoint.service = std::to_string(server->port());
    endpoint.extraCaFile = setup.certificates.caFile;

    auto result = std::make_shared<std::promise<int>>();
    ThreadBoundCallback callback;
    callback.threadId = Tellan::Event::DEFAULT_THREAD;
    callback.function = [result](int value) { result->set_value(value); };

    const auto started = std::chrono::steady_clock::now();
    int status = 0;
    {
        Tellan::OpsFileUpload upload(boost::make_shared<Tellan::OpsFileInfo>(setup.path, 0),
                                     "ZRVK01" + std::string(40, '0'), callback, endpoint);
        if (!upload.Start())
            return Seconds(-1);
        status = upload.httpStatus;
    }
    const Seconds elapsed = std::chrono::steady_clock::now() - started;
    if (result->get_future().get() != 0 || status != 200 || !receivedWhole(*server))
        return Seconds(-1);
    return elapsed;
}

// One `curl --data-binary @file` to the same kind of server, process start included.
Seconds timeCurl(const Setup& setup)
{
    const auto server = startServer(setup);
    const std::string url = "https://localhost:" + std::to_string(server->port())
        + "/DeviceEventProxy/VYKLogServlet?key=bench.log";
    const std::string data = "@" + setup.path.toStdString();
    std::vector<std::string> words = {"curl", "-sS", "-o", "/dev/null", "--cacert", setup.certificates.caFile,
                                      "-H", "Expect:", "--data-binary", data, url};
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    const auto started = std::chrono::steady_clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, "curl", nullptr, nullptr, argv.data(), environ) != 0)
        return Seconds(-1);
    int exitStatus = 0;
    waitpid(child, &exitStatus, 0);
    const Seconds elapsed = std::chrono::steady_clock::now() - started;
    if (!WIFEXITED(exitStatus) || WEXITSTATUS(exitStatus) != 0 || !receivedWhole(*server))
        return Seconds(-1);
    return elapsed;
}

void print(const char* name, std::vector<Seconds> times)
{
    std::sort(times.begin(), times.end());
    const double best = times.front().count();
    std::printf("%-22s best %.3f s, median %.3f s  (%.0f MiB/s at best)\n", name, best,
                times[times.size() / 2].count(), 64.0 / best);
}

} // namespace

int main()
{
    QTemporaryDir folder;
    Setup setup;
    setup.certificates = StandIn::makeTestCertificates(folder.path().toStdString(), {"localhost"}, {"127.0.0.1"});
    setup.path = folder.filePath("bench.log");
    {
        QFile file(setup.path);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block(1024 * 1024, '\0');
        for (int i = 0; i < block.size(); ++i)
            block[i] = char('a' + (i * 7) % 26);
        for (int i = 0; i < fileSize / block.size(); ++i)
            file.write(block);
    }
    Tellan::Event::Dispatcher::instance();

    std::vector<Seconds> upload, curl;
    for (int i = 0; i < rounds; ++i) {
        upload.push_back(timeUpload(setup));
        curl.push_back(timeCurl(setup));
        if (upload.back().count() < 0 || curl.back().count() < 0) {
            std::fprintf(stderr, "round %d failed (upload %.3f, curl %.3f)\n", i + 1, upload.back().count(),
                         curl.back().count());
            return 1;
        }
    }

    std::printf("64 MiB over loopback TLS to the upload stand-in, %d rounds each\n", rounds);
    print("OpsFileUpload", upload);
    print("curl --data-binary", curl);
    std::printf("ratio OpsFileUpload / curl (best): %.2f\n",
                std::min_element(upload.begin(), upload.end())->count()
                    / std::min_element(curl.begin(), curl.end())->count());
    return 0;
}
