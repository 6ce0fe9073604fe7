// What an upload costs next to `curl --data-binary`: the same file to the same
// server over loopback TLS, the server always in a process of its own (the
// upload stand-in program, and nginx when it is installed), wall time and CPU
// time of both sides, medians of several rounds, ratios printed.
//
//   upload_bench [rounds]
//
// The helper's upload runs in this process, as it does in the helper: its
// CPU is this process's. curl is a whole process, start included. The same
// upload with 16 KiB pieces shows what the 4096-byte ones cost. A 1-byte
// upload is also made by a whole process of this program, as a helper's first
// pass makes it (its trust store read included), beside curl trusting the
// same: the test authority and the system's certificate folder.
// Run by hand; CTest does not run it.

#include "Event/Dispatcher.h"
#include "OpsFileUpload.h"
#include "UploadStandIn.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <boost/make_shared.hpp>

#include <openssl/x509.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::size_t bigSize = 64 * 1024 * 1024;

typedef std::chrono::steady_clock Clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double processCpu()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// CPU time of every thread of another process so far, to the nanosecond.
double taskCpu(pid_t pid)
{
    double total = 0;
    const std::string folder = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* tasks = opendir(folder.c_str())) {
        while (dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] == '.')
                continue;
            std::ifstream stat(folder + "/" + entry->d_name + "/schedstat");
            double ns = 0;
            if (stat >> ns)
                total += ns / 1e9;
        }
        closedir(tasks);
    }
    return total;
}

std::string ownFolder()
{
    char path[4096] = {};
    const ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self(path, size > 0 ? std::size_t(size) : 0);
    return self.substr(0, self.rfind('/'));
}

std::string findProgram(const std::vector<std::string>& candidates)
{
    for (const std::string& path : candidates)
        if (access(path.c_str(), X_OK) == 0)
            return path;
    return "";
}

// A child process, its standard output readable through a pipe when asked.
struct Child {
    pid_t pid = -1;
    int output = -1;
    std::string buffered;

    bool start(std::vector<std::string> words, bool captureOutput, char** environment = environ)
    {
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeEnds[2] = {-1, -1};
        if (captureOutput) {
            if (pipe(pipeEnds) != 0)
                return false;
            posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
            posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
        }
        const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environment);
        posix_spawn_file_actions_destroy(&actions);
        if (captureOutput) {
            close(pipeEnds[1]);
            output = pipeEnds[0];
        }
        return failed == 0;
    }

    // The next line of its output, waiting at most `timeout`; "" when none came.
    std::string readLine(std::chrono::milliseconds timeout)
    {
        const Clock::time_point giveUp = Clock::now() + timeout;
        while (buffered.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now()).count();
            pollfd wait{output, POLLIN, 0};
            if (left <= 0 || poll(&wait, 1, int(left)) <= 0)
                return "";
            char bytes[4096];
            const ssize_t got = read(output, bytes, sizeof bytes);
            if (got <= 0)
                return "";
            buffered.append(bytes, std::size_t(got));
        }
        const std::size_t end = buffered.find('\n');
        const std::string line = buffered.substr(0, end);
        buffered.erase(0, end + 1);
        return line;
    }

    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (output >= 0)
            close(output);
        pid = -1;
        output = -1;
    }
};

struct Files {
    StandIn::TestCertificates certificates;
    std::string big, tiny;
};

// A server in its own process.
class Server {
public:
    virtual ~Server() = default;
    virtual const char* name() const = 0;
    virtual bool start() = 0;
    virtual void stop() = 0;
    // Waits until the server has taken the whole of the next request.
    virtual bool requestDone() { return true; }
    unsigned short port = 0;
    pid_t pid = -1;
};

class StandInProgram : public Server {
public:
    StandInProgram(std::string program, const Files& files) : program(std::move(program)), files(files) {}
    const char* name() const override { return "upload stand-in"; }

    bool start() override
    {
        if (!child.start({program, "--port", "0", "--cert", files.certificates.certificateFile, "--key",
                          files.certificates.privateKeyFile},
                         true))
            return false;
        pid = child.pid;
        const std::string first = child.readLine(std::chrono::seconds(20));
        const std::string lead = "listening on 127.0.0.1:";
        if (first.rfind(lead, 0) != 0)
            return false;
        port = static_cast<unsigned short>(std::stoul(first.substr(lead.size())));
        return true;
    }

    bool requestDone() override { return child.readLine(std::chrono::seconds(60)).rfind("request ", 0) == 0; }

    void stop() override { child.stop(); }

private:
    std::string program;
    const Files& files;
    Child child;
};

unsigned short freePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    close(s);
    return ntohs(address.sin_port);
}

bool accepts(unsigned short port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool connected = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(s);
    return connected;
}

// One nginx process (no master) that reads and drops every body and answers 200.
class Nginx : public Server {
public:
    Nginx(std::string program, const Files& files, std::string folder)
        : program(std::move(program)), files(files), folder(std::move(folder))
    {
    }
    const char* name() const override { return "nginx"; }

    bool start() override
    {
        port = freePort();
        const std::string config = folder + "/nginx.conf";
        std::ofstream out(config);
        out << "daemon off; master_process off; worker_processes 1;\n"
            << "error_log " << folder << "/error.log; pid " << folder << "/nginx.pid;\n"
            << "events { worker_connections 64; }\n"
            << "http { access_log off;\n";
        for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            out << "  " << kind << "_temp_path " << folder << "/" << kind << ";\n";
        out << "  server { listen 127.0.0.1:" << port << " ssl;\n"
            << "    ssl_certificate " << files.certificates.certificateFile << ";\n"
            << "    ssl_certificate_key " << files.certificates.privateKeyFile << ";\n"
            << "    client_max_body_size 0;\n"
            << "    location / { return 200 \"ok\\n\"; } } }\n";
        out.close();
        if (!child.start({program, "-p", folder, "-c", config, "-e", folder + "/error.log"}, false))
            return false;
        pid = child.pid;
        const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(10);
        while (!accepts(port)) {
            if (Clock::now() > giveUp)
                return false;
            usleep(10000);
        }
        return true;
    }

    void stop() override { child.stop(); }

private:
    std::string program;
    const Files& files;
    std::string folder;
    Child child;
};

struct Sample {
    double wall = -1, clientCpu = 0, serverCpu = 0;
};

// One upload through the helper's code, on this thread as on the File Upload thread.
Sample timeUpload(Server& server, const Files& files, const std::string& path,
                  std::size_t pieceSize = Tellan::OpsFileUpload::defaultPieceSize)
{
    Tellan::OpsFileUpload::Endpoint endpoint;
    endpoint.pieceSize = pieceSize;
    endpoint.host = "localhost";
    endpoint.service = std::to_string(server.port);
    endpoint.extraCaFile = files.certificates.caFile;

    auto result = std::make_shared<std::promise<int>>();
    std::future<int> reported = result->get_future();
    ThreadBoundCallback callback;
    callback.threadId = Tellan::Event::DEFAULT_THREAD;
    callback.function = [result](int value) { result->set_value(value); };

    Sample sample;
    const double serverBefore = taskCpu(server.pid);
    const double cpuBefore = processCpu();
    const Clock::time_point started = Clock::now();
    int status = 0;
    {
        Tellan::OpsFileUpload upload(boost::make_shared<Tellan::OpsFileInfo>(QString::fromStdString(path), 0),
                                     "ZRVK01" + std::string(40, '0'), callback, endpoint);
        if (!upload.Start())
            return sample;
        status = upload.httpStatus;
    }
    const int value = reported.get();
    const double wall = seconds(Clock::now() - started);
    sample.clientCpu = processCpu() - cpuBefore;
    if (value != 0 || status != 200 || !server.requestDone())
        return sample;
    sample.serverCpu = taskCpu(server.pid) - serverBefore;
    sample.wall = wall;
    return sample;
}

// One `curl --data-binary @file`, process start included.
Sample timeCurl(Server& server, const Files& files, const std::string& path)
{
    const std::string url =
        "https://localhost:" + std::to_string(server.port) + "/DeviceEventProxy/VYKLogServlet?key=bench.log";
    Sample sample;
    const double serverBefore = taskCpu(server.pid);
    const Clock::time_point started = Clock::now();
    Child curl;
    if (!curl.start({"curl", "-sS", "-f", "--max-time", "120", "-o", "/dev/null", "--cacert", files.certificates.caFile,
                     "-H", "Expect:", "--data-binary", "@" + path, url},
                    false))
        return sample;
    int exitStatus = 0;
    rusage usage{};
    wait4(curl.pid, &exitStatus, 0, &usage);
    const double wall = seconds(Clock::now() - started);
    sample.clientCpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                       + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (!WIFEXITED(exitStatus) || WEXITSTATUS(exitStatus) != 0 || !server.requestDone())
        return sample;
    sample.serverCpu = taskCpu(server.pid) - serverBefore;
    sample.wall = wall;
    return sample;
}

// This environment without SSL_CERT_FILE and SSL_CERT_DIR: the system's trust
// where the TLS library looks by default, as on a user's desktop.
std::vector<char*> desktopEnvironment()
{
    std::vector<char*> variables;
    for (char** variable = environ; *variable; ++variable)
        if (std::strncmp(*variable, "SSL_CERT_FILE=", 14) != 0 && std::strncmp(*variable, "SSL_CERT_DIR=", 13) != 0)
            variables.push_back(*variable);
    variables.push_back(nullptr);
    return variables;
}

// The wall and CPU time of a child process from its start to its exit, in the
// desktop's environment; -1 wall when it failed.
Sample timeProcess(Server& server, std::vector<std::string> words, std::string* output = nullptr)
{
    Sample sample;
    std::vector<char*> environment = desktopEnvironment();
    const double serverBefore = taskCpu(server.pid);
    const Clock::time_point started = Clock::now();
    Child child;
    if (!child.start(std::move(words), output != nullptr, environment.data()))
        return sample;
    if (output) {
        *output = child.readLine(std::chrono::seconds(60));
        // Nothing within the minute: stalled, and not waited for without end.
        if (output->empty())
            ::kill(child.pid, SIGKILL);
    }
    int exitStatus = 0;
    rusage usage{};
    wait4(child.pid, &exitStatus, 0, &usage);
    const double wall = seconds(Clock::now() - started);
    if (child.output >= 0)
        close(child.output);
    sample.clientCpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
                       + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (!WIFEXITED(exitStatus) || WEXITSTATUS(exitStatus) != 0 || !server.requestDone())
        return sample;
    sample.serverCpu = taskCpu(server.pid) - serverBefore;
    sample.wall = wall;
    return sample;
}

// curl as a whole process, trusting what the helper trusts: the build's extra
// authority and the system's hashed certificate folder.
Sample timeCurlWithSystemTrust(Server& server, const Files& files, const std::string& path)
{
    const std::string url =
        "https://localhost:" + std::to_string(server.port) + "/DeviceEventProxy/VYKLogServlet?key=bench.log";
    return timeProcess(server, {"curl", "-sS", "-f", "--max-time", "120", "-o", "/dev/null", "--cacert",
                                files.certificates.caFile, "--capath", X509_get_default_cert_dir(), "-H",
                                "Expect:", "--data-binary", "@" + path, url});
}

// This program as a whole process that makes one upload, as a helper's first
// pass does; `residentKiB` is its resident memory once the upload is over.
Sample timeWholeProcessUpload(Server& server, const Files& files, const std::string& path, double& residentKiB)
{
    std::string output;
    const Sample sample = timeProcess(
        server, {ownFolder() + "/upload_bench", "--once", std::to_string(server.port), path, files.certificates.caFile},
        &output);
    residentKiB = std::atof(output.c_str());
    return sample;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Series {
    std::vector<double> wall, clientCpu, serverCpu;
    void add(const Sample& s)
    {
        wall.push_back(s.wall);
        clientCpu.push_back(s.clientCpu);
        serverCpu.push_back(s.serverCpu);
    }
};

void printRow(const char* name, const Series& s, double gib)
{
    std::printf("  %-30s wall %8.4f s  client CPU %8.4f s  server CPU %8.4f s", name, median(s.wall),
                median(s.clientCpu), median(s.serverCpu));
    if (gib > 0)
        std::printf("  client CPU/GiB %6.3f s", median(s.clientCpu) / gib);
    std::printf("\n");
}

void writeFile(const std::string& path, std::size_t size)
{
    QFile file(QString::fromStdString(path));
    file.open(QIODevice::WriteOnly);
    QByteArray block(1024 * 1024, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = char('a' + (i * 7) % 26);
    for (std::size_t left = size; left > 0;) {
        const std::size_t piece = std::min<std::size_t>(left, std::size_t(block.size()));
        file.write(block.constData(), qint64(piece));
        left -= piece;
    }
}

// Resident memory of this process in KiB.
double residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string word;
    double kib = 0;
    while (status >> word)
        if (word == "VmRSS:" && status >> kib)
            break;
    return kib;
}

// upload_bench --once PORT FILE CA: one upload, then prints the resident
// memory in KiB and exits.
int runOnce(char** argv)
{
    Files files;
    files.certificates.caFile = argv[4];
    struct Fixed : Server {
        const char* name() const override { return ""; }
        bool start() override { return true; }
        void stop() override {}
    } server;
    server.port = static_cast<unsigned short>(std::stoi(argv[2]));
    server.pid = getpid();
    Tellan::Event::Dispatcher::instance();
    if (timeUpload(server, files, argv[3]).wall < 0)
        return 1;
    std::printf("%.0f\n", residentKiB());
    std::fflush(stdout);
    // As the helper does: no exit-time clean-up of the libraries.
    std::_Exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--once") == 0)
        return runOnce(argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    QTemporaryDir folder;
    Files files;
    files.certificates = StandIn::makeTestCertificates(folder.path().toStdString(), {"localhost"}, {"127.0.0.1"});
    files.big = folder.filePath("big.log").toStdString();
    files.tiny = folder.filePath("tiny.log").toStdString();
    writeFile(files.big, bigSize);
    writeFile(files.tiny, 1);
    Tellan::Event::Dispatcher::instance();

    const std::string here = ownFolder();
    const std::string standIn = findProgram({here + "/zorvik-upload-standin"});
    const std::string nginx = findProgram({"/usr/sbin/nginx", "/usr/bin/nginx", "/usr/local/sbin/nginx"});
    if (standIn.empty()) {
        std::fprintf(stderr, "zorvik-upload-standin not found next to %s\n", argv[0]);
        return 1;
    }

    std::vector<std::unique_ptr<Server>> servers;
    servers.push_back(std::make_unique<StandInProgram>(standIn, files));
    if (!nginx.empty()) {
        const std::string nginxFolder = folder.filePath("nginx").toStdString();
        QDir().mkpath(QString::fromStdString(nginxFolder));
        servers.push_back(std::make_unique<Nginx>(nginx, files, nginxFolder));
    } else {
        std::printf("nginx is not installed: measured against the stand-in only\n");
    }

    std::printf("loopback TLS, server in its own process, median of %d rounds\n", rounds);
    // The first upload of the process reads the system trust store.
    double coldTiny = -1;
    bool first = true;
    for (const auto& server : servers) {
        Series upload, curl, piece16k, tinyUpload, tinyCurl, tinyProcess, tinyCurlSystem;
        std::vector<double> processResident;
        bool failed = false;
        for (int round = 0; round < rounds && !failed; ++round) {
            // A fresh server each round: the stand-in keeps every request it took.
            if (!server->start()) {
                std::fprintf(stderr, "%s did not start\n", server->name());
                return 1;
            }
            if (first) {
                coldTiny = timeUpload(*server, files, files.tiny).wall;
                first = false;
            }
            const Sample samples[] = {timeUpload(*server, files, files.big), timeCurl(*server, files, files.big),
                                      timeUpload(*server, files, files.tiny), timeCurl(*server, files, files.tiny)};
            upload.add(samples[0]);
            curl.add(samples[1]);
            tinyUpload.add(samples[2]);
            tinyCurl.add(samples[3]);
            for (const Sample& s : samples)
                failed = failed || s.wall < 0;
            double resident = 0;
            const Sample whole[] = {timeWholeProcessUpload(*server, files, files.tiny, resident),
                                    timeCurlWithSystemTrust(*server, files, files.tiny)};
            tinyProcess.add(whole[0]);
            tinyCurlSystem.add(whole[1]);
            processResident.push_back(resident);
            for (const Sample& s : whole)
                failed = failed || s.wall < 0;
            const Sample wide = timeUpload(*server, files, files.big, 16384);
            piece16k.add(wide);
            failed = failed || wide.wall < 0;
            server->stop();
        }
        if (failed) {
            std::fprintf(stderr, "an upload to %s failed\n", server->name());
            return 1;
        }
        const double gib = double(bigSize) / (1024.0 * 1024 * 1024);
        std::printf("\n64 MiB to %s\n", server->name());
        printRow("OpsFileUpload", upload, gib);
        printRow("curl --data-binary", curl, gib);
        std::printf("  ratio OpsFileUpload / curl: wall %.2f, client CPU %.2f, server CPU %.2f\n",
                    median(upload.wall) / median(curl.wall), median(upload.clientCpu) / median(curl.clientCpu),
                    median(upload.serverCpu) / median(curl.serverCpu));
        printRow("OpsFileUpload, 16 KiB pieces", piece16k, gib);
        std::printf("  4096-byte pieces cost: wall %+.1f %%, client CPU %+.1f %%, server CPU %+.1f %%"
                    " (against 16 KiB pieces)\n",
                    100 * (median(upload.wall) / median(piece16k.wall) - 1),
                    100 * (median(upload.clientCpu) / median(piece16k.clientCpu) - 1),
                    100 * (median(upload.serverCpu) / median(piece16k.serverCpu) - 1));
        std::printf("1 byte to %s\n", server->name());
        printRow("OpsFileUpload", tinyUpload, 0);
        printRow("curl --data-binary", tinyCurl, 0);
        std::printf("  OpsFileUpload - curl: wall %+.1f ms\n",
                    1000 * (median(tinyUpload.wall) - median(tinyCurl.wall)));
        std::printf("1 byte to %s, whole processes, the system's trust beside the test authority\n", server->name());
        printRow("OpsFileUpload process", tinyProcess, 0);
        printRow("curl --capath", tinyCurlSystem, 0);
        const double processWall = median(tinyProcess.wall), curlWall = median(tinyCurlSystem.wall);
        std::printf("  ratio OpsFileUpload process / curl: wall %.2f (%+.1f ms), client CPU %.2f;"
                    " goal: within %.1f ms\n",
                    processWall / curlWall, 1000 * (processWall - curlWall),
                    median(tinyProcess.clientCpu) / median(tinyCurlSystem.clientCpu),
                    1000 * std::max(0.1 * curlWall, 0.003));
        std::printf("  resident memory of the uploading process after its upload: %.2f MiB\n",
                    median(processResident) / 1024);
        if (coldTiny >= 0) {
            std::printf("  first upload of the process, which reads the system trust store: %.1f ms\n",
                        1000 * coldTiny);
            coldTiny = -1;
        }
    }
    return 0;
}
