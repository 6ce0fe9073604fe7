#include "Platform/Process.h"
#include "Platform/CommandLine.h"
#include "Platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace Tellan {
namespace Platform {

namespace {

// One child, shared by its process and thread handles.
struct Child {
    pid_t pid = 0;
    bool ownGroup = false; // started in a session of its own: its pid names its group
    std::mutex mutex; // one waitpid at a time, so "ended" is never missed
    bool ended = false;
};

struct Entry {
    enum Kind { PipeEnd, ProcessHandle, ThreadHandle } kind = PipeEnd;
    int fd = -1;
    bool inheritable = false;
    std::shared_ptr<Child> child;
};

class LinuxProcess final : public Process {
public:
    bool createPipe(Handle* readEnd, Handle* writeEnd, const SecurityAttributes* attributes, std::uint32_t) override
    {
        if (!readEnd || !writeEnd) {
            setLastError(ERROR_INVALID_PARAMETER_CODE);
            return false;
        }
        // Close-on-exec always: an inheritable end reaches a child only as
        // one of its standard handles (see createProcess), never as a stray
        // descriptor that would keep the pipe open.
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            setLastError(errorFromErrno(errno));
            return false;
        }
        const bool inheritable = attributes && attributes->inheritHandle;
        std::lock_guard<std::mutex> lock(mutex_);
        *readEnd = add(Entry{Entry::PipeEnd, fds[0], inheritable, nullptr});
        *writeEnd = add(Entry{Entry::PipeEnd, fds[1], inheritable, nullptr});
        setLastError(0);
        return true;
    }

    bool createProcess(std::wstring& commandLine, bool inheritHandles, std::uint32_t creationFlags,
                       const StartupInfo& startup, ProcessInformation* info) override
    {
        const std::vector<std::string> words = commandLineWords(commandLine);
        if (words.empty() || !info) {
            setLastError(ERROR_INVALID_PARAMETER_CODE);
            return false;
        }

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (startup.flags & STARTF_USESTDHANDLES) {
            const Handle handles[3] = {startup.stdInput, startup.stdOutput, startup.stdError};
            for (int target = 0; target < 3; ++target) {
                const int fd = inheritHandles ? inheritableFd(handles[target]) : -1;
                // A child with no standard handle reads end of file and
                // writes nowhere.
                if (fd >= 0)
                    posix_spawn_file_actions_adddup2(&actions, fd, target);
                else
                    posix_spawn_file_actions_addopen(&actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY,
                                                     0);
            }
        }

        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        // A console of its own: the child leaves our session and terminal.
        if (creationFlags & CREATE_NEW_CONSOLE)
            flags |= POSIX_SPAWN_SETSID;
        posix_spawnattr_setflags(&attributes, flags);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);

        std::vector<char*> argv;
        for (const std::string& w : words)
            argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);

        // A parent that ignored SIGCHLD hands that on through exec; the kernel
        // would then reap our children itself and no wait could see them end.
        struct sigaction current {};
        if (::sigaction(SIGCHLD, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
            ::signal(SIGCHLD, SIG_DFL);

        pid_t pid = 0;
        const int result = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0) {
            setLastError(errorFromErrno(result));
            return false;
        }

        auto child = std::make_shared<Child>();
        child->pid = pid;
        child->ownGroup = (creationFlags & CREATE_NEW_CONSOLE) != 0;
        std::lock_guard<std::mutex> lock(mutex_);
        info->process = add(Entry{Entry::ProcessHandle, -1, false, child});
        info->thread = add(Entry{Entry::ThreadHandle, -1, false, child});
        info->processId = static_cast<std::uint32_t>(pid);
        info->threadId = static_cast<std::uint32_t>(pid);
        setLastError(0);
        return true;
    }

    std::uint32_t waitForSingleObject(Handle handle, std::uint32_t milliseconds) override
    {
        return waitFor(childOf(handle), -1, milliseconds);
    }

    std::uint32_t waitForProcessOrPipeData(Handle process, Handle pipe, std::uint32_t milliseconds) override
    {
        const int fd = pipeFd(pipe);
        if (fd < 0) {
            setLastError(ERROR_INVALID_HANDLE_CODE);
            return WAIT_FAILED_CODE;
        }
        return waitFor(childOf(process), fd, milliseconds);
    }

    bool peekNamedPipe(Handle pipe, std::uint32_t* totalBytesAvailable) override
    {
        const int fd = pipeFd(pipe);
        int available = 0;
        if (fd < 0 || ::ioctl(fd, FIONREAD, &available) != 0) {
            setLastError(fd < 0 ? ERROR_INVALID_HANDLE_CODE : errorFromErrno(errno));
            return false;
        }
        if (totalBytesAvailable)
            *totalBytesAvailable = static_cast<std::uint32_t>(available);
        setLastError(0);
        return true;
    }

    bool readFile(Handle handle, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead) override
    {
        const int fd = pipeFd(handle);
        if (fd < 0) {
            setLastError(ERROR_INVALID_HANDLE_CODE);
            return false;
        }
        ssize_t n;
        do
            n = ::read(fd, buffer, bytesToRead);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            setLastError(errorFromErrno(errno));
            return false;
        }
        if (bytesRead)
            *bytesRead = static_cast<std::uint32_t>(n);
        setLastError(0);
        return true;
    }

    bool closeHandle(Handle handle) override
    {
        Entry entry;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = entries_.find(handle);
            if (it == entries_.end()) {
                setLastError(ERROR_INVALID_HANDLE_CODE);
                return false;
            }
            entry = it->second;
            entries_.erase(it);
        }
        if (entry.fd >= 0)
            ::close(entry.fd);
        setLastError(0);
        return true;
    }

    bool terminateProcess(Handle process, std::uint32_t) override
    {
        std::shared_ptr<Child> child;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = entries_.find(process);
            if (it != entries_.end() && it->second.kind == Entry::ProcessHandle)
                child = it->second.child;
        }
        if (!child) {
            setLastError(ERROR_INVALID_HANDLE_CODE);
            return false;
        }
        std::lock_guard<std::mutex> lock(child->mutex);
        // An ended process cannot be ended again (and its id may be reused).
        // A console of its own goes whole, with whatever the child started.
        if (child->ended || ::kill(child->ownGroup ? -child->pid : child->pid, SIGKILL) != 0) {
            setLastError(ERROR_ACCESS_DENIED_CODE);
            return false;
        }
        setLastError(0);
        return true;
    }

private:
    enum class State { Running, Ended, Failed };

    // Reaps the child when it has ended. While it runs and pidFd is given,
    // opens a pid file descriptor for it into *pidFd (-1 when the kernel has
    // none): under the child's lock, so the pid cannot be reaped and reused
    // meanwhile.
    static State checkChild(Child& child, int* pidFd)
    {
        std::lock_guard<std::mutex> lock(child.mutex);
        if (child.ended)
            return State::Ended;
        int status = 0;
        pid_t r;
        do
            r = ::waitpid(child.pid, &status, WNOHANG);
        while (r < 0 && errno == EINTR);
        // ECHILD: reaped by someone else, so it has ended too.
        if (r == child.pid || (r < 0 && errno == ECHILD)) {
            child.ended = true;
            return State::Ended;
        }
        if (r < 0) {
            setLastError(errorFromErrno(errno));
            return State::Failed;
        }
        if (pidFd)
            *pidFd = static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0));
        return State::Running;
    }

    // Until the child ends or (dataFd >= 0) that pipe holds data. The pid
    // file descriptor becomes readable when the child ends, so one poll
    // waits for both; without one the child is looked at every millisecond.
    static std::uint32_t waitFor(const std::shared_ptr<Child>& child, int dataFd, std::uint32_t milliseconds)
    {
        if (!child) {
            setLastError(ERROR_INVALID_HANDLE_CODE);
            return WAIT_FAILED_CODE;
        }
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            int pidFd = -1;
            const State state = checkChild(*child, &pidFd);
            if (state == State::Ended)
                return WAIT_OBJECT_0_CODE;
            if (state == State::Failed)
                return WAIT_FAILED_CODE;
            const auto now = Clock::now();
            if (milliseconds != INFINITE_WAIT && now >= deadline) {
                if (pidFd >= 0)
                    ::close(pidFd);
                return WAIT_TIMEOUT_CODE;
            }
            int timeout = 1;
            if (pidFd >= 0)
                timeout = milliseconds == INFINITE_WAIT
                              ? -1
                              : static_cast<int>(std::min<std::chrono::milliseconds::rep>(
                                  std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(), INT_MAX));
            pollfd fds[2] = {{pidFd, POLLIN, 0}, {dataFd, POLLIN, 0}};
            const int ready = ::poll(fds, 2, timeout);
            if (pidFd >= 0)
                ::close(pidFd);
            if (ready > 0 && dataFd >= 0 && fds[1].revents) {
                if (fds[1].revents & POLLIN)
                    return WAIT_PIPE_DATA_CODE;
                // Writers gone (POLLHUP alone): nothing more will come.
                dataFd = -1;
            }
        }
    }

    // Callers hold mutex_.
    Handle add(Entry entry)
    {
        next_ += 4;
        entries_.emplace(next_, std::move(entry));
        return next_;
    }

    std::shared_ptr<Child> childOf(Handle handle)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = entries_.find(handle);
        return it == entries_.end() ? nullptr : it->second.child;
    }

    int pipeFd(Handle handle)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = entries_.find(handle);
        return it == entries_.end() ? -1 : it->second.fd;
    }

    int inheritableFd(Handle handle)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = entries_.find(handle);
        return it == entries_.end() || !it->second.inheritable ? -1 : it->second.fd;
    }

    std::mutex mutex_;
    std::map<Handle, Entry> entries_;
    Handle next_ = 0;
};

} // namespace

Process& Process::native() { return immortal<LinuxProcess>(); }

} // namespace Platform
} // namespace Tellan
