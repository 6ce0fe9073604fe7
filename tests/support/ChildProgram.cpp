#include "ChildProgram.h"

#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace TestSupport {

namespace {

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Appends what `fd` has now; closes it at its end. False when nothing came.
bool readSome(int& fd, QByteArray& into)
{
    char buffer[65536];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
        into.append(buffer, int(got));
        return true;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR))
        closeFd(fd);
    return false;
}

} // namespace

QString testProgram(const QString& name) { return QStringLiteral(ZORVIK_TEST_BIN_DIR "/") + name; }

ChildProgram::ChildProgram(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
                           const QString& folder)
    : program_(program), arguments_(arguments)
{
    // The child's ends: stdin a socket, so that writing to a child that has
    // gone fails with EPIPE instead of raising SIGPIPE here.
    int input[2], output[2], errors[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
        ADD_FAILURE() << "socketpair: " << errno;
        return;
    }
    if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << errno;
        return;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[1], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    const QByteArray folderBytes = QFile::encodeName(folder);
    if (!folder.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, folderBytes.constData());

    // The child starts with no signal blocked or ignored, whatever this
    // process (or the thread that starts it) does.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<QByteArray> words{program.toUtf8()};
    for (const QString& argument : arguments)
        words.push_back(argument.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<QByteArray> variables;
    for (const QString& variable : environment.toStringList())
        variables.push_back(variable.toUtf8());
    std::vector<char*> envp;
    for (QByteArray& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int result = program.contains('/')
                           ? ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data())
                           : ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(input[1]);
    ::close(output[1]);
    ::close(errors[1]);
    in_ = input[0];
    out_ = output[0];
    err_ = errors[0];
    for (int fd : {in_, out_, err_})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (result != 0) {
        ADD_FAILURE() << "cannot start " << commandLine() << ": error " << result;
        closeFd(in_);
        closeFd(out_);
        closeFd(err_);
        return;
    }
    pid_ = pid;
    pidFd_ = int(::syscall(SYS_pidfd_open, pid, 0)); // glibc 2.36's header lacks C linkage
    if (pidFd_ < 0)
        ADD_FAILURE() << "pidfd_open: " << errno;
}

ChildProgram::~ChildProgram()
{
    if (started() && !reaped_) {
        ::kill(pid_, SIGKILL);
        reap();
    }
    closeFd(in_);
    closeFd(out_);
    closeFd(err_);
    closeFd(pidFd_);
}

template <typename Done>
bool ChildProgram::pump(qint64 deadlineMs, Done done)
{
    for (;;) {
        if (done())
            return true;
        std::vector<pollfd> fds;
        if (out_ >= 0)
            fds.push_back({out_, POLLIN, 0});
        if (err_ >= 0)
            fds.push_back({err_, POLLIN, 0});
        if (in_ >= 0 && !pendingInput_.isEmpty())
            fds.push_back({in_, POLLOUT, 0});
        if (pidFd_ >= 0 && !reaped_)
            fds.push_back({pidFd_, POLLIN, 0});
        if (fds.empty())
            return done();
        const qint64 left = std::max<qint64>(0, deadlineMs - nowMs());
        const int ready = ::poll(fds.data(), fds.size(), int(std::min<qint64>(left, 1 << 30)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return done();
        for (const pollfd& fd : fds) {
            if (fd.revents == 0)
                continue;
            if (fd.fd == out_)
                readSome(out_, output_);
            else if (fd.fd == err_)
                readSome(err_, errors_);
            else if (fd.fd == in_) {
                const ssize_t sent =
                    ::send(in_, pendingInput_.constData(), size_t(pendingInput_.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent > 0)
                    pendingInput_.remove(0, int(sent));
                else if (errno != EAGAIN && errno != EINTR)
                    closeFd(in_);
            } else if (fd.fd == pidFd_)
                reap();
        }
    }
}

void ChildProgram::reap()
{
    // All the child wrote is in the pipes now; what a grandchild that keeps
    // them open may still write is not waited for.
    while (out_ >= 0 && readSome(out_, output_)) {}
    while (err_ >= 0 && readSome(err_, errors_)) {}
    closeFd(out_);
    closeFd(err_);
    closeFd(in_);
    int status = 0;
    rusage usage{};
    pid_t waited;
    do
        waited = ::wait4(pid_, &status, 0, &usage);
    while (waited < 0 && errno == EINTR);
    closeFd(pidFd_);
    reaped_ = true;
    maxResidentKiB_ = usage.ru_maxrss;
    if (waited != pid_)
        exitCode_ = -1;
    else if (WIFEXITED(status))
        exitCode_ = WEXITSTATUS(status);
    else {
        exitCode_ = -2;
        signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
}

bool ChildProgram::exited()
{
    if (reaped_ || pidFd_ < 0)
        return true;
    pollfd fd{pidFd_, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

bool ChildProgram::write(const QByteArray& bytes, int ms)
{
    if (in_ < 0)
        return false;
    pendingInput_ += bytes;
    const bool sent = pump(nowMs() + ms, [this] { return pendingInput_.isEmpty() || in_ < 0; }) && in_ >= 0;
    pendingInput_.clear();
    return sent;
}

void ChildProgram::closeInput()
{
    pendingInput_.clear();
    closeFd(in_);
}

QByteArray ChildProgram::nextLine(int ms)
{
    pump(nowMs() + ms, [this] { return output_.contains('\n') || out_ < 0; });
    const int end = output_.indexOf('\n');
    if (end < 0) {
        if (out_ >= 0)
            return QByteArray();
        const QByteArray rest = output_;
        output_.clear();
        return rest;
    }
    const QByteArray line = output_.left(end);
    output_.remove(0, end + 1);
    return line;
}

QByteArray ChildProgram::output()
{
    pump(nowMs(), [] { return false; });
    const QByteArray all = output_;
    output_.clear();
    return all;
}

QByteArray ChildProgram::errors()
{
    pump(nowMs(), [] { return false; });
    return errors_;
}

bool ChildProgram::running() { return started() && !exited(); }

int ChildProgram::finish(int ms)
{
    if (!started())
        return -1;
    if (!pump(nowMs() + ms, [this] { return reaped_; })) {
        ADD_FAILURE() << commandLine() << " still ran after " << ms << " ms and was killed; its errors:\n"
                      << errors_.constData();
        kill();
        return -1;
    }
    return exitCode_;
}

void ChildProgram::kill()
{
    if (!started() || reaped_)
        return;
    ::kill(pid_, SIGKILL);
    reap();
}

std::string ChildProgram::commandLine() const { return (QStringList{program_} + arguments_).join(' ').toStdString(); }

} // namespace TestSupport
