// The single-instance channel through real local sockets: a running instance
// in a child process, raw frames written by the test or by other children.
#include "SingleApplication/QtLocalPeer.h"
#include "SingleApplication/QtLockedFile.h"

#include "ChildProgram.h"
#include "Platform/FileLock.h"
#include "ScopedEnvironment.h"
#include "ScriptedSession.h"
#include "SendAll.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

QByteArray frame(const QByteArray& payload, char flag = 1)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint8(flag) << quint32(payload.size());
    return bytes + payload;
}

QByteArray header(quint32 length, char flag = 1)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint8(flag) << length;
    return bytes;
}

// A raw client of the running instance's socket.
class RawClient {
public:
    explicit RawClient(const QString& path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~RawClient() { close(); }
    bool connected() const { return connected_; }
    void send(const QByteArray& bytes) { ASSERT_TRUE(sendAll(bytes)); }
    // A send may take part of the bytes: false when the other side ends the
    // connection before all went out.
    bool sendAll(const QByteArray& bytes) { return TestSupport::sendAll(fd_, bytes); }
    // What arrives within `ms`, up to `count` bytes; stops early at the end of
    // the connection.
    QByteArray read(int count, int ms)
    {
        QByteArray got;
        while (got.size() < count) {
            pollfd p = {fd_, POLLIN, 0};
            if (::poll(&p, 1, ms) <= 0)
                break;
            char buffer[64];
            const ssize_t n = ::recv(fd_, buffer, size_t(std::min<int>(count - got.size(), 64)), 0);
            if (n <= 0) {
                ended_ = true;
                break;
            }
            got.append(buffer, int(n));
        }
        return got;
    }
    // True when the other side ended the connection within `ms`.
    bool endedWithin(int ms)
    {
        read(1 << 20, ms);
        return ended_;
    }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = false;
};

// A child process whose stdout says what it became and what it received.
class Child {
public:
    Child(const QStringList& arguments, const QProcessEnvironment& environment)
        : child_(TestSupport::testProgram("peer_child"), arguments, environment)
    {
    }
    // The next line of output, "" when none came within `ms`.
    QByteArray nextLine(int ms = 20000) { return child_.nextLine(ms).trimmed(); }
    // The next message the running instance delivered.
    QByteArray nextMessage(int ms = 20000)
    {
        const QByteArray line = nextLine(ms);
        if (line != "message" && !line.startsWith("message "))
            return "<no message: " + line + ">";
        return QByteArray::fromBase64(line.mid(8));
    }
    // The exit code, -2 after a signal; one still running after `ms` fails.
    int finish(int ms = 30000) { return child_.finish(ms); }
    bool running() { return child_.running(); }
    void kill() { child_.kill(); }
    QByteArray errors() { return child_.errors(); }

private:
    TestSupport::ChildProgram child_;
};

class QtLocalPeerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtime_.isValid());
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert("XDG_RUNTIME_DIR", runtime_.path());
    }

    // A running instance in a child; its socket's path in socket_.
    std::unique_ptr<Child> startServer(const QString& id = "Peer Test")
    {
        auto child = std::make_unique<Child>(QStringList{"serve", id}, environment_);
        const QByteArray line = child->nextLine();
        EXPECT_TRUE(line.startsWith("running ")) << line.constData();
        socket_ = QString::fromUtf8(line.mid(8));
        return child;
    }

    // A message with an "ack" through a fresh connection: the server still
    // runs and reads frames.
    void expectServerAnswers(Child& server, const QByteArray& marker = "marker")
    {
        RawClient client(socket_);
        ASSERT_TRUE(client.connected());
        client.send(frame(marker));
        EXPECT_EQ(client.read(3, 20000), "ack");
        EXPECT_EQ(server.nextMessage(), marker);
    }

    QTemporaryDir runtime_;
    QProcessEnvironment environment_;
    QString socket_;
};

TEST_F(QtLocalPeerTest, FramesAreDeliveredOnceAndAnsweredByTheirFlag)
{
    auto server = startServer();
    {
        SCOPED_TRACE("a frame in pieces is delivered when its last byte arrives");
        RawClient client(socket_);
        const QByteArray bytes = frame("in pieces \xc3\xa9");
        client.send(bytes.left(2));
        client.send(bytes.mid(2, 4));
        EXPECT_EQ(client.read(3, 200), "");
        client.send(bytes.mid(6, 3));
        EXPECT_EQ(client.read(3, 200), "");
        client.send(bytes.mid(9));
        EXPECT_EQ(client.read(3, 20000), "ack");
        EXPECT_EQ(server->nextMessage(), "in pieces \xc3\xa9");
    }
    {
        SCOPED_TRACE("two frames together, each answered, in order");
        RawClient client(socket_);
        client.send(frame("first") + frame("second"));
        EXPECT_EQ(client.read(6, 20000), "ackack");
        EXPECT_EQ(server->nextMessage(), "first");
        EXPECT_EQ(server->nextMessage(), "second");
    }
    {
        SCOPED_TRACE("flag 0 is delivered unanswered; a zero length is neither");
        RawClient client(socket_);
        client.send(frame("quiet", 0) + frame("", 1) + frame("loud", 1));
        EXPECT_EQ(client.read(3, 20000), "ack");
        EXPECT_EQ(client.read(1, 300), "");
        EXPECT_EQ(server->nextMessage(), "quiet");
        EXPECT_EQ(server->nextMessage(), "loud");
    }
    {
        SCOPED_TRACE("a frame cut off by the sender is delivered once, as Latin-1");
        RawClient client(socket_);
        client.send(header(10) + "ab\xe9");
        client.close();
        EXPECT_EQ(server->nextMessage(), "ab\xc3\xa9");
        RawClient onlyHeader(socket_);
        onlyHeader.send(header(10));
        onlyHeader.close();
        EXPECT_EQ(server->nextMessage(), "");
    }
    expectServerAnswers(*server);
}

TEST_F(QtLocalPeerTest, LengthsOutOfBoundsEndTheConnectionUnanswered)
{
    auto server = startServer();
    const quint32 cases[] = {0xFFFFFFFFu, 0x80000000u, quint32(QtLocalPeer::maxMessageBytes) + 1, 0x7FFFFFFFu};
    for (const quint32 length : cases) {
        SCOPED_TRACE(length);
        RawClient client(socket_);
        client.send(header(length) + QByteArray(64, 'x') + frame("after"));
        EXPECT_TRUE(client.endedWithin(20000));
        EXPECT_EQ(client.read(3, 0), "");
        expectServerAnswers(*server);
    }
    {
        SCOPED_TRACE("the largest accepted length");
        RawClient client(socket_);
        std::thread writer([&] { client.send(frame(QByteArray(QtLocalPeer::maxMessageBytes, 'y'))); });
        EXPECT_EQ(client.read(3, 30000), "ack");
        writer.join();
        EXPECT_EQ(server->nextMessage().size(), QtLocalPeer::maxMessageBytes);
    }
}

TEST_F(QtLocalPeerTest, RandomBytesNeitherCrashNorHangTheRunningInstance)
{
    auto server = startServer();
    QRandomGenerator random(20261210);
    for (int round = 0; round < 8; ++round) {
        QByteArray noise(64 * 1024, '\0');
        random.fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
        RawClient client(socket_);
        client.sendAll(noise); // a length out of bounds ends it early
        client.close();
        // Whatever the noise held was delivered; then the marker comes.
        RawClient marker(socket_);
        marker.send(frame("marker"));
        EXPECT_EQ(marker.read(3, 20000), "ack");
        QByteArray message;
        for (int i = 0; i < 1000 && message != "marker"; ++i)
            message = server->nextMessage();
        EXPECT_EQ(message, "marker");
    }
    EXPECT_TRUE(server->running());
}

TEST_F(QtLocalPeerTest, SenderThatGivesUpWhileTheReceiverIsBusyIsDeliveredOnce)
{
    auto server = startServer();
    for (int round = 0; round < 3; ++round) {
        const QString go = runtime_.path() + QString("/go-%1").arg(round);
        const QString busyMessage = "wait " + go;
        Child busy({"send", "Peer Test", busyMessage, "5000"}, environment_);
        EXPECT_EQ(busy.finish(), 0);
        EXPECT_EQ(server->nextMessage(), busyMessage.toUtf8());
        // Sent into the busy instance: no "ack" within 300 ms, the sender ends.
        Child late({"send", "Peer Test", "late", "300"}, environment_);
        EXPECT_EQ(late.finish(), 1);
        // Only now the instance goes on and finds the sender gone.
        QFile marker(go);
        ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
        marker.close();
        EXPECT_EQ(server->nextMessage(), "late");
        expectServerAnswers(*server);
    }
}

TEST_F(QtLocalPeerTest, InstanceThatStoppedReceivingAnswersNothingMore)
{
    auto server = startServer();
    RawClient client(socket_);
    // The second frame comes in the same read as the one that stops it.
    client.send(frame("stop") + frame("after"));
    EXPECT_EQ(client.read(3, 20000), "ack");
    EXPECT_EQ(server->nextMessage(), "stop");
    // Its connections end unanswered and nothing more can reach it.
    EXPECT_EQ(client.read(4, 20000), "");
    EXPECT_TRUE(client.endedWithin(0));
    EXPECT_FALSE(RawClient(socket_).connected());
    EXPECT_EQ(server->nextLine(300), "");
    EXPECT_TRUE(server->running());
}

TEST_F(QtLocalPeerTest, SendersReuseTheirConnectionAndLearnWhenNothingAnswers)
{
    auto server = startServer();
    {
        Child sender({"send", "Peer Test", "noack please", "1000", "noack"}, environment_);
        EXPECT_EQ(sender.finish(), 0);
        EXPECT_EQ(server->nextMessage(), "noack please");
    }
    {
        // Nothing answers an empty message: the sender waits out its time.
        Child sender({"send", "Peer Test", "", "500"}, environment_);
        EXPECT_EQ(sender.finish(), 1);
    }
    expectServerAnswers(*server);
    RawClient quit(socket_);
    quit.send(frame("quit"));
    EXPECT_EQ(server->nextMessage(), "quit");
    EXPECT_EQ(server->finish(), 0);
    EXPECT_FALSE(QFile::exists(socket_)) << "the server closes and removes its socket";
    {
        // No running instance: the sender becomes one itself and reports false.
        Child sender({"send", "Peer Test", "anyone?", "500"}, environment_);
        EXPECT_EQ(sender.finish(), 1);
    }
}

TEST_F(QtLocalPeerTest, SocketOfAKilledInstanceIsReplacedByTheNextHolderOfTheLock)
{
    auto first = startServer();
    first->kill();
    EXPECT_EQ(first->finish(), -2);
    ASSERT_TRUE(QFile::exists(socket_)) << "a killed process leaves its socket file";
    auto second = startServer();
    expectServerAnswers(*second);
    // A start that finds the lock held removes nothing.
    Child third({"serve", "Peer Test"}, environment_);
    EXPECT_EQ(third.nextLine(), "client");
    EXPECT_EQ(third.finish(), 3);
    expectServerAnswers(*second);
}

TEST_F(QtLocalPeerTest, OfManyStartsAtOnceExactlyOneRunsAndTheOthersForwardToIt)
{
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::unique_ptr<Child>> starts;
        for (int i = 0; i < 10; ++i)
            starts.push_back(
                std::make_unique<Child>(QStringList{"start", "Stress", QString("hello %1").arg(i)}, environment_));
        std::vector<Child*> running;
        int forwarded = 0;
        for (auto& start : starts) {
            const QByteArray line = start->nextLine();
            if (line == "running") {
                running.push_back(start.get());
            } else {
                EXPECT_EQ(line, "forwarded");
                EXPECT_EQ(start->finish(), 0);
                ++forwarded;
            }
        }
        ASSERT_EQ(running.size(), 1u);
        EXPECT_EQ(forwarded, 9);
        for (int i = 0; i < 9; ++i)
            EXPECT_TRUE(running[0]->nextMessage().startsWith("hello "));
        Child quit({"send", "Stress", "quit", "5000"}, environment_);
        EXPECT_EQ(quit.finish(), 0);
        EXPECT_EQ(running[0]->nextMessage(), "quit");
        EXPECT_EQ(running[0]->finish(), 0);
    }
}

// As root: a connection whose other end runs as another user is dropped
// unread, even where that user could reach the socket.
TEST_F(QtLocalPeerTest, ConnectionOfAnotherUserIsDroppedUnread)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    auto server = startServer();
    Child other({"connect-as", socket_, "4242"}, environment_);
    EXPECT_EQ(other.nextLine(), "no ack") << other.errors().constData();
    EXPECT_EQ(other.finish(), 0);
    // Ours comes after theirs: what it delivered of theirs comes first.
    expectServerAnswers(*server);
    EXPECT_EQ(server->nextLine(300), "") << "delivered";
}

// Locks belong to the open file, not to the process.
TEST(QtLockedFile, LockHeldAgainstOtherOpenFilesOfThisAndOtherProcesses)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("lockfile");
    QtLP_Private::QtLockedFile holder(path);
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite));
    ASSERT_TRUE(holder.lock(QtLP_Private::QtLockedFile::WriteLock, false));
    EXPECT_TRUE(holder.isLocked());
    {
        // Another open and close of the file in this process drops nothing.
        QFile other(path);
        ASSERT_TRUE(other.open(QIODevice::ReadWrite));
        other.close();
    }
    QtLP_Private::QtLockedFile second(path);
    ASSERT_TRUE(second.open(QIODevice::ReadWrite));
    EXPECT_FALSE(second.lock(QtLP_Private::QtLockedFile::WriteLock, false));
    EXPECT_EQ(Tellan::Platform::getLastError(), Tellan::Platform::ERROR_LOCK_VIOLATION_CODE);
    EXPECT_FALSE(second.lock(QtLP_Private::QtLockedFile::ReadLock, false));
    EXPECT_FALSE(second.isLocked());
    EXPECT_FALSE(second.open(QIODevice::ReadWrite | QIODevice::Truncate));

    TestSupport::ChildProgram child(TestSupport::testProgram("peer_child"), {"lock", path});
    EXPECT_EQ(child.finish(), 0);
    EXPECT_EQ(child.output(), "busy\n");

    ASSERT_TRUE(holder.unlock());
    EXPECT_TRUE(second.lock(QtLP_Private::QtLockedFile::ReadLock, false));
    EXPECT_TRUE(holder.lock(QtLP_Private::QtLockedFile::ReadLock, false)) << "shared locks share";
    EXPECT_FALSE(holder.lock(QtLP_Private::QtLockedFile::WriteLock, false));
    EXPECT_EQ(holder.lockMode(), QtLP_Private::QtLockedFile::ReadLock);
}

} // namespace

namespace {

// In this process: what the running instance does with its own objects.
class QtLocalPeerInProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(runtime_.isValid());
        environment_.set("XDG_RUNTIME_DIR", runtime_.path());
        app_ = std::make_unique<QCoreApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

    QTemporaryDir runtime_;
    TestSupport::ScopedEnvironment environment_;
    int argc_ = 1;
    char name_[16] = "QtLocalPeer";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};

TEST_F(QtLocalPeerInProcess, ConnectionsAreFreedWhenTheyEnd)
{
    QtLocalPeer peer(nullptr, "In Process");
    ASSERT_FALSE(peer.isClient());
    const int baseline = peer.findChildren<QLocalSocket*>().size();
    int received = 0;
    QObject::connect(&peer, &QtLocalPeer::messageReceived, [&received](const QString&) { ++received; });

    const QString path = peer.serverName();
    std::thread clients([path] {
        for (int i = 0; i < 20; ++i) {
            RawClient client(path);
            client.send(frame("x"));
            client.read(3, 20000);
        }
    });
    QDeadlineTimer deadline(20000);
    while ((received < 20 || peer.findChildren<QLocalSocket*>().size() > baseline) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    clients.join();
    EXPECT_EQ(received, 20);
    EXPECT_EQ(peer.findChildren<QLocalSocket*>().size(), baseline);
}

TEST_F(QtLocalPeerInProcess, ServerClosesBeforeTheLockGoes)
{
    TestSupport::ObservedFileLock lock;
    Tellan::Platform::ScopedInstall<Tellan::Platform::FileLock> install(&lock);
    auto* peer = new QtLocalPeer(nullptr, "In Process Order");
    ASSERT_FALSE(peer->isClient());
    const QString path = peer->serverName();
    ASSERT_TRUE(QFile::exists(path));
    int unlocks = 0;
    bool socketThereAtUnlock = true;
    lock.beforeUnlock = [&] {
        ++unlocks;
        socketThereAtUnlock = QFile::exists(path);
    };
    delete peer;
    EXPECT_EQ(unlocks, 1);
    EXPECT_FALSE(socketThereAtUnlock);
}

// A running instance whose "ack" comes in pieces: the sender reads on until
// it has all three bytes.
TEST_F(QtLocalPeerInProcess, AckInPiecesIsReadWhole)
{
    QtLocalPeer names(nullptr, "Split Ack");
    QtLP_Private::QtLockedFile lock(names.serverName() + "-lockfile");
    ASSERT_TRUE(lock.open(QIODevice::ReadWrite));
    ASSERT_TRUE(lock.lock(QtLP_Private::QtLockedFile::WriteLock, false));

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(names.serverName());
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    Child sender({"send", "Split Ack", "hello", "5000"}, QProcessEnvironment::systemEnvironment());
    const int connection = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(connection, 0);
    const QByteArray expected = frame("hello");
    QByteArray got(expected.size(), '\0');
    ASSERT_EQ(::recv(connection, got.data(), size_t(got.size()), MSG_WAITALL), got.size());
    EXPECT_EQ(got, expected);
    for (const char* piece : {"a", "c", "k"}) {
        ASSERT_EQ(::send(connection, piece, 1, MSG_NOSIGNAL), 1);
        QThread::msleep(50); // each byte in a read of its own
    }
    EXPECT_EQ(sender.finish(), 0);
    ::close(connection);
    ::close(listener);
    ::unlink(path.constData());
}

} // namespace
