// The helper program as users meet it: real helper processes in a throw-away
// profile (HOME, XDG folders, runtime folder), the upload stand-in behind the
// compiled-in upload host.
//
// As root, the test process moves into a network and mount namespace of its
// own before main: only its own loopback exists there, the upload host names
// 127.0.0.1 through a private /etc/hosts, and the stand-in listens on the
// compiled-in upload port. Without root the tests that upload are skipped.
#include "ChildProgram.h"
#include "ScopedEnvironment.h"
#include "SendAll.h"
#include "UploadStandIn.h"
#include "WaitUntil.h"

#include "SingleApplication/QtLocalPeer.h"

#include "Foundation/ProductConstants.h"
#include "Platform/FileShare.h"

#include <QByteArray>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const QString helperName = "zorvik-music-helper";
const QString productExecutable = QString::fromUtf8(Tellan::Constants::productName) + ".exe";

// Runs before main, while this process has one thread.
bool enterPrivateNetwork()
{
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        return false;
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = {};
    std::strcpy(request.ifr_name, "lo");
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!up)
        return false;
    char hosts[] = "/tmp/zorvik-hosts-XXXXXX";
    const int file = ::mkstemp(hosts);
    if (file < 0)
        return false;
    const std::string text = std::string("127.0.0.1 localhost\n127.0.0.1 ") + ZORVIK_UPLOAD_HOST + "\n";
    const bool written = ::write(file, text.data(), text.size()) == ssize_t(text.size());
    ::fchmod(file, 0644);
    ::close(file);
    const bool mounted = written && ::mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    ::unlink(hosts);
    return mounted;
}

const bool privateNetwork = enterPrivateNetwork();

unsigned short uploadPort()
{
    const std::string port = ZORVIK_UPLOAD_PORT;
    if (const servent* service = ::getservbyname(port.c_str(), "tcp"))
        return ntohs(static_cast<unsigned short>(service->s_port));
    return static_cast<unsigned short>(std::stoi(port));
}

using TestSupport::waitUntil;

// Closes its descriptors when it goes, also when an assertion ends the test.
class Descriptors {
public:
    Descriptors() = default;
    explicit Descriptors(int fd) { add(fd); }
    Descriptors(const Descriptors&) = delete;
    Descriptors& operator=(const Descriptors&) = delete;
    ~Descriptors() { closeAll(); }

    void add(int fd)
    {
        if (fd >= 0)
            fds_.push_back(fd);
    }
    void closeAll()
    {
        for (const int fd : fds_)
            ::close(fd);
        fds_.clear();
    }
    std::size_t size() const { return fds_.size(); }

private:
    std::vector<int> fds_;
};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// One helper process.
class Helper {
public:
    Helper(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
           const QString& runAs = QString())
        : child_(runAs.isEmpty() ? program : QString("setpriv"),
                 runAs.isEmpty()
                     ? arguments
                     : QStringList{"--reuid", runAs, "--regid", runAs, "--clear-groups", program} + arguments,
                 environment)
    {
    }
    // The exit code, -2 after a signal; one still running after `ms` fails.
    int finish(int ms = 30000) { return child_.finish(ms); }
    bool running() { return child_.running(); }
    QByteArray errors() { return child_.errors(); }
    void kill() { child_.kill(); }
    // Whether the process has `file` open.
    bool hasOpen(const QString& file)
    {
        const QString folder = QString("/proc/%1/fd").arg(child_.pid());
        for (const QFileInfo& fd : QDir(folder).entryInfoList(QDir::Files | QDir::System))
            if (fd.symLinkTarget() == file)
                return true;
        return false;
    }

private:
    TestSupport::ChildProgram child_;
};

class HelperProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(profile_.isValid());
        for (const char* folder : {"home/.local/share", "home/.config", "home/.cache", "run", "bin"})
            ASSERT_TRUE(QDir().mkpath(path(folder)));
        ASSERT_EQ(::chmod(QFile::encodeName(path("run")).constData(), 0700), 0);
        // The helper looks for the product beside itself: a link of its own.
        const QByteArray built = ZORVIK_TEST_BIN_DIR "/zorvik-music-helper";
        if (::link(built.constData(), QFile::encodeName(helper()).constData()) != 0) {
            ASSERT_TRUE(QFile::copy(built, helper()));
        }
        writeProduct(0755);

        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert("HOME", path("home"));
        environment_.insert("XDG_DATA_HOME", path("home/.local/share"));
        environment_.insert("XDG_CONFIG_HOME", path("home/.config"));
        environment_.insert("XDG_CACHE_HOME", path("home/.cache"));
        environment_.insert("XDG_RUNTIME_DIR", path("run"));
        environment_.remove("TMPDIR");
        environment_.insert("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0");

        // The channel's names as the helpers make them (same session here).
        const TestSupport::ScopedEnvironment runtime("XDG_RUNTIME_DIR", path("run"));
        socket_ = QtLocalPeer(nullptr, QString::fromUtf8(Tellan::Constants::helperApplicationName)).serverName();
    }

    QString path(const QString& relative) const { return profile_.path() + "/" + relative; }
    QString helper() const { return path("bin/" + helperName); }
    QString logs() const { return path("home/.local/share/Zorvik Music/Logs"); }
    QString crashReports() const { return path("home/.local/share/Zorvik Music/User Data/Crashpad/reports"); }
    QString currentLog() const { return logs() + "/ZorvikMusicHelper.log"; }

    void writeProduct(int mode)
    {
        const QString product = path("bin/" + productExecutable);
        QFile file(product);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nexit 0\n");
        file.close();
        ASSERT_EQ(::chmod(QFile::encodeName(product).constData(), mode_t(mode)), 0);
    }

    std::unique_ptr<Helper> start(const QStringList& arguments = {})
    {
        return std::make_unique<Helper>(helper(), arguments, environment_);
    }

    // Some process of this profile holds the single-instance lock.
    bool lockHeld() const
    {
        return Tellan::Platform::FileShare::native().isInUse(
            boost::filesystem::path(QFile::encodeName(socket_ + "-lockfile").toStdString()));
    }

    // Starts a helper and waits until it holds the lock and answers a later
    // start (which then forwards to it): the running helper, in its loop.
    std::unique_ptr<Helper> startRunning()
    {
        auto helper = start();
        EXPECT_TRUE(waitUntil([&] { return lockHeld() || !helper->running(); }));
        auto probe = start({"ready?"});
        EXPECT_EQ(probe->finish(), 0);
        EXPECT_TRUE(helper->running()) << helper->errors().constData();
        return helper;
    }

    // A later start reaches the running helper: it forwards and ends with 0.
    void expectReachable(Helper& running)
    {
        auto probe = start({"probe"});
        EXPECT_EQ(probe->finish(), 0) << probe->errors().constData();
        EXPECT_TRUE(running.running());
    }

    void stop(Helper& running)
    {
        auto kill = start({"--kill"});
        EXPECT_EQ(kill->finish(), 0);
        EXPECT_EQ(running.finish(), 0);
    }

    QStringList archivedHelperLogs() const
    {
        return QDir(logs()).entryList({"ZorvikMusicHelper-v*.log"}, QDir::Files, QDir::Name);
    }

    QTemporaryDir profile_;
    QProcessEnvironment environment_;
    QString socket_;
};

TEST_F(HelperProgram, SecondStartForwardsAndKillFromAThirdEndsTheRunningHelper)
{
    auto running = startRunning();
    auto second = start({"hello", "--not-kill"});
    EXPECT_EQ(second->finish(), 0);
    EXPECT_TRUE(running->running()) << "other arguments change nothing";
    EXPECT_EQ(second->errors(), "");

    // "--kill" as the sender's program path is skipped: the list's first element.
    auto third =
        std::make_unique<Helper>("/bin/bash", QStringList{"-c", "exec -a --kill \"$0\" probe", helper()}, environment_);
    EXPECT_EQ(third->finish(), 0);
    EXPECT_TRUE(running->running());

    auto kill = start({"--KiLL"});
    EXPECT_EQ(kill->finish(), 0);
    EXPECT_EQ(running->finish(), 0);
    EXPECT_EQ(running->errors(), "");
    EXPECT_FALSE(QFile::exists(socket_)) << "the socket goes with the running helper";
    EXPECT_FALSE(lockHeld());

    // Its log: archived under the versioned, stamped name, header first.
    EXPECT_FALSE(QFile::exists(currentLog()));
    const QStringList archived = archivedHelperLogs();
    ASSERT_EQ(archived.size(), 1);
    EXPECT_TRUE(
        QRegularExpression(R"(^ZorvikMusicHelper-v9\.5\.2\.2478-\d{6}-\d{6}\.log$)").match(archived[0]).hasMatch())
        << archived[0].toStdString();
    const QByteArray log = readAll(logs() + "/" + archived[0]);
    EXPECT_TRUE(log.startsWith("[SystemInfo]\r\n")) << log.left(200).constData();
    EXPECT_TRUE(log.contains(" : I helper : settingTellanPath : function = Tellan>HelperApp>setTellanPath , path = "
                             + QFile::encodeName(path("bin")) + " : line "))
        << log.constData();
    const QList<QByteArray> lines = log.trimmed().split('\n');
    EXPECT_TRUE(lines.last().contains("Helper INFO in helper line ")
                && lines.last().endsWith(": Begin helper shutdown"))
        << lines.last().constData();
    EXPECT_FALSE(log.contains("Helper shutdown already in progress"));
    EXPECT_EQ(log.count("Begin helper shutdown"), 1);
}

// Another program removes the running helper's log (Linux lets it): the
// helper's lines are not lost with the file, down to its shutdown.
TEST_F(HelperProgram, LogRemovedByAnotherProgramIsSavedAndTheLinesAfterItKept)
{
    auto running = startRunning();
    ASSERT_TRUE(QFile::exists(currentLog()));
    ASSERT_EQ(::unlink(QFile::encodeName(currentLog()).constData()), 0);
    stop(*running);

    // The saved content, and, when a line came in a later second, a new
    // file for the lines after the removal.
    EXPECT_FALSE(QFile::exists(currentLog()));
    const QStringList archived = archivedHelperLogs();
    ASSERT_GE(archived.size(), 1);
    ASSERT_LE(archived.size(), 2);
    const QByteArray saved = readAll(logs() + "/" + archived[0]);
    EXPECT_TRUE(saved.startsWith("[SystemInfo]\r\n")) << saved.left(200).constData();
    EXPECT_TRUE(saved.contains(" : I helper : settingTellanPath : ")) << saved.constData();
    EXPECT_TRUE(saved.contains(" : W HelperLogger : LogFileRemovedByOther : ")) << saved.constData();
    const QByteArray last = readAll(logs() + "/" + archived.last());
    EXPECT_TRUE(last.startsWith("[SystemInfo]\r\n"));
    EXPECT_TRUE(last.contains(": Begin helper shutdown\r\n")) << last.right(300).constData();
}

TEST_F(HelperProgram, ExitCodesOfStartsThatCannotRun)
{
    {
        SCOPED_TRACE("--kill to the first helper: 1, no log file, the first pass ran");
        const QString empty = logs() + "/ZorvikMusic-v9.5.2.2478-210101-120000.log";
        ASSERT_TRUE(QDir().mkpath(logs()));
        QFile(empty).open(QIODevice::WriteOnly);
        auto kill = start({"--KILL"});
        EXPECT_EQ(kill->finish(), 1);
        EXPECT_FALSE(QFile::exists(empty)) << "the first pass deletes empty product logs";
        EXPECT_TRUE(readAll(path("home/.config/Zorvik Services LLC/Zorvik Music.conf")).contains("device_id=ZRVK01"))
            << "the device id it made is kept";
        EXPECT_TRUE(archivedHelperLogs().isEmpty());
        EXPECT_FALSE(QFile::exists(currentLog()));
    }
    const struct {
        const char* what;
        std::function<void()> prepare;
    } missing[] = {
        {"product executable missing", [&] { QFile::remove(path("bin/" + productExecutable)); }},
        {"product executable not executable", [&] { writeProduct(0644); }},
        {"a folder at the product's name",
         [&] {
             QFile::remove(path("bin/" + productExecutable));
             QDir().mkdir(path("bin/" + productExecutable));
         }},
    };
    for (const auto& c : missing) {
        SCOPED_TRACE(c.what);
        for (const QString& old : archivedHelperLogs())
            QFile::remove(logs() + "/" + old);
        c.prepare();
        auto helper = start();
        EXPECT_EQ(helper->finish(), 1);
        const QStringList archived = archivedHelperLogs();
        ASSERT_EQ(archived.size(), 1);
        const QByteArray log = readAll(logs() + "/" + archived[0]);
        EXPECT_TRUE(log.startsWith("[SystemInfo]\r\n"));
        const QList<QByteArray> lines = log.trimmed().split('\n');
        ASSERT_GE(lines.size(), 2);
        EXPECT_TRUE(lines[lines.size() - 2].contains(" : I helper : settingTellanPath : ")) << log.constData();
        EXPECT_TRUE(lines.last().endsWith(": Begin helper shutdown")) << log.constData();
        EXPECT_FALSE(QFile::exists(currentLog()));
        QDir(path("bin/" + productExecutable)).removeRecursively();
        QFile::remove(path("bin/" + productExecutable));
    }
    writeProduct(0755);
    {
        SCOPED_TRACE("the product folders cannot be made: 1 before anything else");
        const QString data = path("home/.local/share");
        ASSERT_TRUE(QDir(data).removeRecursively());
        QFile(data).open(QIODevice::WriteOnly); // a file where the data folder goes
        auto helper = start();
        EXPECT_EQ(helper->finish(), 1);
        EXPECT_EQ(helper->errors(), "");
        EXPECT_TRUE(QFileInfo(data).isFile()) << "nothing was made or written";
    }
}

TEST_F(HelperProgram, StartThatCannotReachTheLockHolderEndsWithOne)
{
    // A holder of the lock that never listens: the forward fails.
    QtLP_Private::QtLockedFile lock(socket_ + "-lockfile");
    ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
    ASSERT_TRUE(lock.lock(QtLP_Private::QtLockedFile::WriteLock, false));
    auto helper = start({"hello"});
    EXPECT_EQ(helper->finish(), 1);
    EXPECT_TRUE(archivedHelperLogs().isEmpty()) << "a forwarder writes no log";
}

// The running helper goes away while a start waits for its "ack" (as one
// that is stopping does): the start waits for the lock and runs.
TEST_F(HelperProgram, StartWhoseRunningHelperWentAwayRunsInItsPlace)
{
    QtLP_Private::QtLockedFile lock(socket_ + "-lockfile");
    ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
    ASSERT_TRUE(lock.lock(QtLP_Private::QtLockedFile::WriteLock, false));
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Descriptors server(listener);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(socket_);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    auto next = start({"hello"});
    pollfd waiting = {listener, POLLIN, 0};
    ASSERT_EQ(::poll(&waiting, 1, 30000), 1) << "it connected";
    const int connection = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(connection, 0);
    server.add(connection);
    const timeval limit = {30, 0};
    ASSERT_EQ(::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)), 0);
    char header[5];
    ASSERT_EQ(::recv(connection, header, sizeof(header), MSG_WAITALL), 5) << "it sent its frame";
    // Gone unanswered and its server closed, its socket file left behind;
    // a moment later, its log put away, its lock let go.
    server.closeAll();
    QThread::msleep(300);
    lock.unlock();

    ASSERT_TRUE(waitUntil([&] { return lockHeld() || !next->running(); }));
    EXPECT_TRUE(next->running()) << next->finish();
    expectReachable(*next);
    stop(*next);
}

TEST_F(HelperProgram, FailureToListenIsLoggedAndTheHelperRunsUnreachable)
{
    // A folder at the socket's name: the lock holder cannot listen there.
    ASSERT_TRUE(QDir().mkpath(socket_ + "/in-the-way"));
    auto deaf = start();
    ASSERT_TRUE(waitUntil([&] { return readAll(currentLog()).contains("settingTellanPath") || !deaf->running(); }));
    EXPECT_TRUE(deaf->running());
    const QByteArray log = readAll(currentLog());
    EXPECT_TRUE(log.contains(" : E QtLocalPeer : listenFailed : ")) << log.constData();
    auto later = start({"--kill"});
    EXPECT_EQ(later->finish(), 1) << "nothing answers";
    EXPECT_TRUE(deaf->running());
}

// Connects to a local socket; -1 when that fails.
int connectTo(const QString& socket)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(socket);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
        return fd;
    ::close(fd);
    return -1;
}

using TestSupport::sendAll;

// Writes bytes to the running helper's socket on a connection of its own
// and closes it; the number of bytes that came back within `ms`.
int sendRaw(const QString& socket, const QByteArray& bytes, int ms = 0)
{
    const int fd = connectTo(socket);
    int answered = -1;
    if (fd >= 0 && sendAll(fd, bytes)) {
        answered = 0;
        pollfd p = {fd, POLLIN, 0};
        char reply[16];
        if (ms > 0 && ::poll(&p, 1, ms) > 0)
            answered = int(std::max<ssize_t>(0, ::recv(fd, reply, sizeof(reply), 0)));
    }
    if (fd >= 0)
        ::close(fd);
    return answered;
}

QByteArray frame(const QByteArray& payload, quint32 length)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint8(1) << length;
    return bytes + payload;
}

TEST_F(HelperProgram, ForgedAndBrokenMessagesLeaveTheRunningHelperRunning)
{
    auto running = startRunning();
    // A list that claims 2^31 - 16 elements and holds two, "--kill" second.
    QByteArray list;
    {
        QDataStream out(&list, QIODevice::WriteOnly);
        out.setVersion(QDataStream::Qt_4_8);
        out << QStringList{"/forged/helper", "--kill"};
        QDataStream patch(&list, QIODevice::WriteOnly);
        patch << quint32(0x7FFFFFF0);
    }
    QByteArray noise(64 * 1024, '\0');
    QRandomGenerator(20261210).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    const QByteArray base64 = list.toBase64();
    const struct {
        const char* what;
        QByteArray bytes;
        int answered;
    } cases[] = {
        {"zero length", frame("", 0), 0},
        {"negative length", frame("xyz", 0xFFFFFFF0u), 0},
        {"length over the cap", frame("xyz", 0x7FFFFFFFu), 0},
        {"cut-off frame", frame("abc", 100), 0},
        {"random bytes", noise, -2},
        {"not base64 of a list", frame("%%%%", 4), 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Long where an ack is due, short where none may come.
        const int answered = sendRaw(socket_, c.bytes, c.answered == 3 ? 30000 : 300);
        if (c.answered != -2) {
            EXPECT_EQ(answered, c.answered);
        }
        expectReachable(*running);
    }
    // The forged count keeps the two complete elements: "--kill" ends it.
    EXPECT_EQ(sendRaw(socket_, frame(base64, quint32(base64.size())), 30000), 3);
    EXPECT_EQ(running->finish(), 0);
}

TEST_F(HelperProgram, OfTenStartsAtOnceExactlyOneKeepsRunning)
{
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::unique_ptr<Helper>> helpers;
        for (int i = 0; i < 10; ++i)
            helpers.push_back(start({QString("start-%1").arg(i)}));
        std::vector<Helper*> running;
        // Nine end with 0 once they forwarded; the tenth runs on.
        ASSERT_TRUE(waitUntil(
            [&] {
                int ended = 0;
                for (auto& h : helpers)
                    ended += h->running() ? 0 : 1;
                return ended >= 9;
            },
            60000));
        for (auto& h : helpers) {
            if (h->running())
                running.push_back(h.get());
            else
                EXPECT_EQ(h->finish(), 0) << h->errors().constData();
        }
        ASSERT_EQ(running.size(), 1u);
        expectReachable(*running[0]);
        stop(*running[0]);
    }
}

TEST_F(HelperProgram, KilledHelperLeavesItsSocketAndTheNextStartsStillMeet)
{
    auto first = startRunning();
    first->kill();
    EXPECT_EQ(first->finish(), -2);
    EXPECT_TRUE(QFile::exists(socket_)) << "a killed helper leaves its socket file";
    EXPECT_TRUE(QFile::exists(currentLog()));

    auto second = startRunning();
    auto third = start({"hello"});
    EXPECT_EQ(third->finish(), 0) << "the next start forwards to the one that took over";
    EXPECT_TRUE(second->running());
    stop(*second);
    EXPECT_EQ(archivedHelperLogs().size(), 1) << "the one that took over archived its own log";
}

TEST_F(HelperProgram, StartRightAfterKillRunsAndIsReachable)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        auto running = startRunning();
        // One start right after the --kill start returned, one beside it.
        const bool together = round % 2 == 1;
        auto kill = start({"--kill"});
        std::unique_ptr<Helper> next;
        if (together)
            next = start({"next"});
        EXPECT_EQ(kill->finish(), 0);
        if (!together)
            next = start({"next"});
        EXPECT_EQ(running->finish(), 0);
        // Once the old helper has ended, the lock is held by the next start
        // alone, or the next start has ended.
        ASSERT_TRUE(waitUntil([&] { return lockHeld() || !next->running(); }));
        if (next->running()) {
            expectReachable(*next);
            stop(*next);
            continue;
        }
        const int code = next->finish();
        // Started after the --kill was acknowledged, it cannot have been
        // answered by the old helper: it must run in its place.
        EXPECT_TRUE(together) << "the start after --kill ended with " << code << ", no helper runs";
        // Beside the --kill, its forward may have been answered first; the
        // --kill then ended the helper that took it.
        EXPECT_EQ(code, 0) << next->errors().constData();
        EXPECT_FALSE(lockHeld());
    }
}

// The lock holder does not listen (a helper that is stopping, putting its
// log away): a start made meanwhile waits and takes its place.
TEST_F(HelperProgram, StartWaitsForTheLockOfAHolderThatDoesNotListen)
{
    QtLP_Private::QtLockedFile lock(socket_ + "-lockfile");
    ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
    ASSERT_TRUE(lock.lock(QtLP_Private::QtLockedFile::WriteLock, false));
    auto next = start({"hello"});
    // Once it has the lock file open, it looks for the holder and waits.
    const QString lockFile = QFileInfo(socket_ + "-lockfile").canonicalFilePath();
    ASSERT_TRUE(waitUntil([&] { return next->hasOpen(lockFile) || !next->running(); }));
    QThread::msleep(1500);
    ASSERT_TRUE(next->running()) << "it gave up while the lock was held: " << next->finish();
    lock.unlock();
    ASSERT_TRUE(waitUntil([&] { return lockHeld() || !next->running(); }));
    EXPECT_TRUE(next->running()) << next->finish() << next->errors().constData();
    expectReachable(*next);
    stop(*next);
}

// One local program that holds more connections than the helper has
// descriptors: Qt's server closes (and removes its socket) when accepting
// fails; the helper listens again and times out the connections it holds.
TEST_F(HelperProgram, ClientHoldingMoreConnectionsThanTheHelperHasDescriptorsLeavesItReachable)
{
    Helper running("prlimit", QStringList{"--nofile=40:40", helper()}, environment_);
    ASSERT_TRUE(waitUntil([&] { return lockHeld() || !running.running(); }));
    EXPECT_EQ(start({"ready?"})->finish(), 0);
    Descriptors held;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(socket_);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    // As fast as the helper takes them from the queue, until it stops.
    QDeadlineTimer deadline(10000);
    while (held.size() < 200 && !deadline.hasExpired()) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            held.add(fd);
        } else {
            ::close(fd);
            QThread::msleep(1);
        }
    }
    EXPECT_GT(held.size(), 40u);
    // While the client keeps them all open, a later start gets through.
    EXPECT_TRUE(waitUntil([&] { return start({"probe"})->finish() == 0; }, 60000));
    ASSERT_TRUE(running.running()) << running.finish() << running.errors().constData();
    held.closeAll();
    expectReachable(running);
    stop(running);
    const QStringList archived = archivedHelperLogs();
    ASSERT_EQ(archived.size(), 1);
    const QByteArray log = readAll(logs() + "/" + archived[0]);
    EXPECT_TRUE(log.contains(" : W QtLocalPeer : serverStopped : ")) << log.constData();
    EXPECT_TRUE(log.contains(" : W QtLocalPeer : listeningAgain : ")) << log.constData();
}

TEST_F(HelperProgram, ClientsThatFloodOrNeverReadDoNotHoldTheHelper)
{
    auto running = startRunning();
    QByteArray frames;
    for (int i = 0; i < 400; ++i)
        frames += frame("x", 1);
    {
        SCOPED_TRACE("a few hundred frames asking for an ack that is never read");
        const int fd = connectTo(socket_);
        ASSERT_GE(fd, 0);
        sendAll(fd, frames);
        expectReachable(*running);
        ::close(fd);
    }
    {
        SCOPED_TRACE("frames as fast as they go, the acks read");
        std::atomic<bool> done{false};
        std::thread flood([&] {
            while (!done) {
                const int fd = connectTo(socket_);
                if (fd < 0) {
                    QThread::msleep(10);
                    continue;
                }
                // Never blocked in a send: a helper that stops reading cannot
                // keep this thread from seeing `done`.
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
                char sink[4096];
                qint64 sent = 0;
                bool open = true;
                while (!done && open) {
                    pollfd p = {fd, POLLOUT | POLLIN, 0};
                    if (::poll(&p, 1, 100) <= 0)
                        continue;
                    if (p.revents & POLLIN) {
                        ssize_t n;
                        while ((n = ::recv(fd, sink, sizeof(sink), MSG_DONTWAIT)) > 0) {}
                        open = n != 0;
                    }
                    if (p.revents & (POLLERR | POLLHUP))
                        open = false;
                    if (open && (p.revents & POLLOUT)) {
                        const ssize_t n =
                            ::send(fd, frames.constData() + sent, size_t(frames.size() - sent), MSG_NOSIGNAL);
                        if (n > 0)
                            sent = (sent + n) % frames.size();
                        else if (errno != EAGAIN && errno != EINTR)
                            open = false;
                    }
                }
                ::close(fd);
            }
        });
        QThread::msleep(300);
        expectReachable(*running);
        done = true;
        flood.join();
    }
    stop(*running);
}

// Linux passes about 2 MiB of arguments; the encoded list is three times that.
TEST_F(HelperProgram, LongCommandLineReachesTheRunningHelper)
{
    auto running = startRunning();
    QStringList arguments;
    for (int i = 0; i < 15; ++i)
        arguments << QString(100000, QChar('a' + i));
    arguments << "--kill";
    auto kill = start(arguments);
    EXPECT_EQ(kill->finish(), 0) << kill->errors().constData();
    EXPECT_EQ(running->finish(), 0);
}

// Forwarders that made a device id (no id stored yet) end without it, and
// without waiting on the settings file's lock behind the others.
TEST_F(HelperProgram, ForwarderOnAProfileWithoutDeviceIdEndsWithoutWaitingOnTheSettings)
{
    auto running = startRunning();
    const QString settings = path("home/.config/Zorvik Services LLC/Zorvik Music.conf");
    ASSERT_TRUE(waitUntil([&] { return readAll(settings).contains("device_id=ZRVK01"); }));
    {
        QFile file(settings);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    }
    QLockFile busy(settings + ".lock");
    ASSERT_TRUE(busy.tryLock(30000)) << "the running helper keeps the settings lock";
    auto forwarder = start({"hello"});
    EXPECT_EQ(forwarder->finish(15000), 0) << "it waited on the settings file's lock";
    busy.unlock();
    EXPECT_FALSE(readAll(settings).contains("device_id")) << "only the running helper stores the id";
    stop(*running);
}

// As root: processes of another uid that plant a held lock file and a
// listening socket where our start looks. Our arguments never reach them.
TEST_F(HelperProgram, StartsArgumentsNeverReachAnotherUsersListener)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const QString other = "4242";
    const QString fallbackParent = path("tmp");
    const QString fallback = fallbackParent + "/runtime-0";
    ASSERT_TRUE(QDir().mkpath(fallback));
    const QString name = QFileInfo(socket_).fileName();
    const struct {
        const char* what;
        QString folder;
        QStringList owners; // listen-uid [owner-uid]
        bool runs;
    } cases[] = {
        // The user's own fallback folder, opened to others: their entries go.
        {"our open fallback folder", fallback, {other, other}, true},
        // Our private folder, our files, a listener of theirs: it gets nothing.
        {"a listener of theirs in our folder", path("run"), {other}, false},
        // A lock file of another owner in our private folder is made again.
        {"their lock file in our folder", path("run"), {other, other}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QProcessEnvironment environment = environment_;
        if (c.folder == fallback) {
            environment.remove("XDG_RUNTIME_DIR");
            environment.insert("TMPDIR", fallbackParent);
            ASSERT_EQ(::chmod(QFile::encodeName(fallback).constData(), 0777), 0);
        }
        TestSupport::ChildProgram planted(
            TestSupport::testProgram("peer_child"),
            QStringList{"plant", c.folder + "/" + name + "-lockfile", c.folder + "/" + name} + c.owners);
        ASSERT_EQ(planted.nextLine(), "planted");

        Helper ours(helper(), {"secret"}, environment);
        if (c.runs) {
            // Once the socket there is ours, we run and listen.
            ASSERT_TRUE(waitUntil([&] {
                const QFileInfo socket(c.folder + "/" + name);
                return (socket.exists() && socket.ownerId() == 0) || !ours.running();
            }));
            EXPECT_TRUE(ours.running()) << ours.errors().constData();
            Helper kill(helper(), {"--kill"}, environment);
            EXPECT_EQ(kill.finish(), 0);
            EXPECT_EQ(ours.finish(), 0);
        } else {
            EXPECT_EQ(ours.finish(), 1);
            EXPECT_TRUE(ours.errors().contains("cannot be reached"));
        }
        planted.kill();
        EXPECT_EQ(planted.output(), "") << "our start sent to their listener";
        QFile::remove(c.folder + "/" + name);
        QFile::remove(c.folder + "/" + name + "-lockfile");
    }
}

// What cannot be the lock file is replaced; where the start still cannot go
// on, it says why on stderr.
TEST_F(HelperProgram, UnusableLockFileIsMadeAgainAndAMissingFolderIsSaid)
{
    const QString lockFile = socket_ + "-lockfile";
    {
        SCOPED_TRACE("a folder at the lock file's name");
        QFile::remove(lockFile);
        ASSERT_TRUE(QDir().mkpath(lockFile + "/inside"));
        auto running = startRunning();
        expectReachable(*running);
        stop(*running);
        EXPECT_TRUE(QFileInfo(lockFile).isFile());
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for files of another owner";
    {
        SCOPED_TRACE("no private folder: the runtime folder unusable, the fallback someone else's");
        ASSERT_EQ(::chmod(QFile::encodeName(path("run")).constData(), 0500), 0);
        ASSERT_TRUE(QDir().mkpath(path("tmp/runtime-0")));
        ASSERT_EQ(::chown(QFile::encodeName(path("tmp/runtime-0")).constData(), 4242, 4242), 0);
        QProcessEnvironment environment = environment_;
        environment.insert("TMPDIR", path("tmp"));
        Helper lost(helper(), {"hello"}, environment);
        EXPECT_EQ(lost.finish(), 1);
        const QByteArray errors = lost.errors();
        EXPECT_EQ(errors.count('\n'), 1) << errors.constData();
        EXPECT_TRUE(errors.contains("no private folder")) << errors.constData();
        ::chmod(QFile::encodeName(path("run")).constData(), 0700);
    }
}

class HelperProgramWithService : public HelperProgram {
protected:
    void SetUp() override
    {
        if (!privateNetwork)
            GTEST_SKIP() << "needs root for a private network with the upload host on loopback";
        HelperProgram::SetUp();
        ASSERT_TRUE(certificates_.isValid());
        const StandIn::TestCertificates files =
            StandIn::makeTestCertificates(certificates_.path().toStdString(), {ZORVIK_UPLOAD_HOST}, {"127.0.0.1"});
        StandIn::Options options;
        options.certificateFile = files.certificateFile;
        options.privateKeyFile = files.privateKeyFile;
        options.port = uploadPort();
        server_ = std::make_unique<StandIn::Server>(options);
        environment_.insert("SSL_CERT_FILE", QString::fromStdString(files.caFile));
    }

    QTemporaryDir certificates_;
    std::unique_ptr<StandIn::Server> server_;
};

TEST_F(HelperProgramWithService, FirstPassUploadsAndDeletesWhatTheServiceAccepted)
{
    const QStringList logNames{"ZorvikMusic-v9.5.2.2478-240102-030405.log",
                               "ZorvikMusicMigrator-v9.5.2.2478-240102-030410.log"};
    ASSERT_TRUE(QDir().mkpath(logs()));
    ASSERT_TRUE(QDir().mkpath(crashReports()));
    for (const QString& name : logNames) {
        QFile file(logs() + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("240102:030405 ZorvikMusic : I player : trackStarted\r\n");
    }
    QFile dump(crashReports() + "/5f0c2b9e.dmp");
    ASSERT_TRUE(dump.open(QIODevice::WriteOnly));
    dump.write(QByteArray(4096, 'd'));
    dump.close();

    // No other start meanwhile: its own first pass would hold the same files.
    auto running = start();
    EXPECT_TRUE(server_->waitForRequests(3, std::chrono::seconds(60)));
    EXPECT_TRUE(waitUntil([&] {
        return QDir(logs()).entryList({"ZorvikMusic*-v9*-2401*.log"}, QDir::Files).isEmpty()
               && !QFile::exists(crashReports() + "/5f0c2b9e.dmp");
    }));
    for (const StandIn::ReceivedRequest& request : server_->requests()) {
        const std::string host = std::string("\r\nHost: ") + ZORVIK_UPLOAD_HOST + "\r\n";
        EXPECT_NE(request.bytes.find(host), std::string::npos) << "the Host header names the host alone";
        EXPECT_EQ(request.bytes.find(std::string(ZORVIK_UPLOAD_HOST) + ":"), std::string::npos);
    }
    stop(*running);
}

TEST_F(HelperProgramWithService, ForwarderEndsWithItsCodeWhileItsUploadsAreInFlight)
{
    // Each start's first pass hands every log to its File Upload thread; the
    // forwarder returns while that thread makes its TLS context, connects or
    // waits on the stalled service.
    server_->setReplies({}, StandIn::Reply{StandIn::Behaviour::Stall, 200});
    auto running = startRunning();
    ASSERT_TRUE(QDir().mkpath(logs()));
    for (int round = 0; round < 10; ++round) {
        QFile file(logs() + QString("/ZorvikMusic-v9.5.2.2478-240102-0304%1.log").arg(round, 2, 10, QChar('0')));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(100000, 'l'));
        file.close();
        auto forwarder = start({"hello"});
        EXPECT_EQ(forwarder->finish(), 0);
        const QByteArray errors = forwarder->errors();
        EXPECT_EQ(errors.toStdString(), "");
    }
    stop(*running);
}

// Another local user: their helper neither blocks ours nor receives its
// messages, even when pointed at our runtime folder.
TEST_F(HelperProgram, AnotherUserCanNeitherBlockNorReceive)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const char* user = "zorvik-test-other";
    // Made for this test and removed with it, whatever the outcome; one
    // left by a run that was killed goes too.
    struct SystemUser {
        const char* name;
        ~SystemUser() { TestSupport::ChildProgram("userdel", {name}).finish(); }
    } created{user};
    if (!::getpwnam(user)) {
        TestSupport::ChildProgram add("useradd",
                                      {"--system", "--no-create-home", "--shell", "/usr/sbin/nologin", user});
        if (add.finish() != 0)
            GTEST_SKIP() << "cannot create a second user";
    }
    const passwd* other = ::getpwnam(user);
    ASSERT_NE(other, nullptr);
    const QString uid = QString::number(other->pw_uid);

    // Their own profile and program folder, theirs alone.
    QTemporaryDir theirs;
    ASSERT_TRUE(theirs.isValid());
    const QString root = theirs.path();
    // They must reach it: a private temporary folder above it keeps them out.
    for (QDir up(root); up.cdUp();) {
        struct stat folder {};
        if (::stat(QFile::encodeName(up.path()).constData(), &folder) == 0 && !(folder.st_mode & S_IXOTH))
            GTEST_SKIP() << up.path().toStdString() << " cannot be searched by another user";
    }
    for (const char* folder : {"home/.local/share", "home/.config", "tmp", "bin"})
        ASSERT_TRUE(QDir().mkpath(root + "/" + folder));
    ASSERT_EQ(
        ::link(QFile::encodeName(helper()).constData(), QFile::encodeName(root + "/bin/" + helperName).constData()), 0);
    ASSERT_TRUE(QFile::copy(path("bin/" + productExecutable), root + "/bin/" + productExecutable));
    TestSupport::ChildProgram chown("chown",
                                    {"-R", uid + ":" + QString::number(other->pw_gid), root + "/home", root + "/tmp"});
    ASSERT_EQ(chown.finish(), 0);
    ::chmod(QFile::encodeName(root).constData(), 0755);
    QProcessEnvironment environment = environment_;
    environment.insert("HOME", root + "/home");
    environment.insert("XDG_DATA_HOME", root + "/home/.local/share");
    environment.insert("XDG_CONFIG_HOME", root + "/home/.config");
    environment.insert("XDG_CACHE_HOME", root + "/home/.cache");
    environment.insert("TMPDIR", root + "/tmp");
    // Pointed at our runtime folder, which is not theirs: they fall back to their own.
    environment.insert("XDG_RUNTIME_DIR", path("run"));
    const QString program = root + "/bin/" + helperName;

    Helper theirFirst(program, {}, environment, uid);
    // Their lock file in their own runtime folder, held: they run and listen.
    const auto theirLockHeld = [&] {
        const QDir runtime(root + "/tmp/runtime-" + uid);
        for (const QString& name : runtime.entryList({"*-lockfile"}, QDir::Files)) {
            if (Tellan::Platform::FileShare::native().isInUse(
                    boost::filesystem::path(QFile::encodeName(runtime.filePath(name)).toStdString())))
                return true;
        }
        return false;
    };
    ASSERT_TRUE(waitUntil([&] { return theirLockHeld() || !theirFirst.running(); }));
    auto probeTheirs = [&] {
        Helper probe(program, {"probe"}, environment, uid);
        return probe.finish();
    };
    EXPECT_EQ(probeTheirs(), 0);
    EXPECT_TRUE(theirFirst.running()) << theirFirst.errors().constData();

    auto ours = startRunning();
    expectReachable(*ours);
    stop(*ours);
    EXPECT_TRUE(theirFirst.running()) << "our --kill does not reach them";

    Helper theirKill(program, {"--kill"}, environment, uid);
    EXPECT_EQ(theirKill.finish(), 0);
    EXPECT_EQ(theirFirst.finish(), 0);
}

} // namespace
