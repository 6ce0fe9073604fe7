// Exits while a pool thread is still busy: the process must end with its own
// exit code and without a sanitizer report.
//   exit_child log-loop <file>   a DEFAULT_THREAD task logs in a loop into a file sink
//   exit_child delayed           an hour-long postDelayed is pending
#include "Event/Dispatcher.h"
#include "Logger/LoggerBase.h"
#include "Logging/Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

namespace {

class FileSink : public Tellan::LoggerBase<std::mutex> {
public:
    explicit FileSink(const char* path) : out_(path, std::ios::binary) {}

protected:
    void attachLocked(std::stringstream& pending) override
    {
        out_ << std::string(std::istreambuf_iterator<char>(pending), {}) << std::flush;
    }
    void closeLocked() override {}
    void writeLocked(const std::string& line) override { out_ << line << std::flush; }
    void rotateLocked() override {}

private:
    std::ofstream out_;
};

} // namespace

int main(int argc, char** argv)
{
    using namespace Tellan::Event;
    if (argc >= 3 && std::strcmp(argv[1], "log-loop") == 0) {
        Tellan::Logging::instance().setLogger(new FileSink(argv[2]));
        // On the heap and never freed: the task keeps counting after main returns.
        std::atomic<int>& lines = *new std::atomic<int>(0);
        Dispatcher::post(DEFAULT_THREAD, [&lines] {
            for (;;) {
                TLOG_EVENT(INFO, "ExitTest", "busy", {"n", lines.load()}) << "still running";
                ++lines;
            }
        });
        while (lines.load() < 100)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 3;
    }
    if (argc >= 2 && std::strcmp(argv[1], "delayed") == 0) {
        Dispatcher::postDelayed(
            DEFAULT_THREAD, [] { std::puts("never"); }, boost::posix_time::hours(1));
        TLOG(INFO, "ExitTest") << "pending";
        return 4;
    }
    return 2;
}
