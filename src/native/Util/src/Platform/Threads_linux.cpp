#include "Platform/Threads.h"
#include "Platform/Platform.h"

#include <fstream>
#include <pthread.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace Tellan {
namespace Platform {

namespace {

// The calling thread's id, asked of the kernel once per thread: every lock
// of the log sink asks for it. A forked child's thread is another thread.
thread_local std::uint32_t cachedThreadId = 0;

void forgetThreadId() { cachedThreadId = 0; }

class LinuxThreads final : public Threads {
public:
    LinuxThreads() { ::pthread_atfork(nullptr, nullptr, forgetThreadId); }

    std::uint32_t currentThreadId() override
    {
        if (cachedThreadId == 0)
            cachedThreadId = static_cast<std::uint32_t>(::syscall(SYS_gettid));
        return cachedThreadId;
    }

    void setThreadName(std::uint32_t threadId, const char* name) override
    {
        // The kernel keeps 15 characters; ps -L and gdb show this name.
        std::string text(name ? name : "");
        text.resize(std::min<std::size_t>(text.size(), 15));
        std::ofstream comm("/proc/self/task/" + std::to_string(threadId) + "/comm");
        if (comm)
            comm << text;
    }

    bool isDebuggerPresent() override
    {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.compare(0, 10, "TracerPid:") == 0)
                return std::stol(line.substr(10)) != 0;
        }
        return false;
    }
};

} // namespace

Threads& Threads::native() { return immortal<LinuxThreads>(); }

} // namespace Platform
} // namespace Tellan
