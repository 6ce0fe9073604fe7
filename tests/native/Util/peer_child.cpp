// One side of the single-instance channel in a process of its own.
//
//   peer_child serve <id>                 becomes the running instance and prints
//                                         "running <socket>", then "message <base64>"
//                                         per message; "sleep <ms>" blocks it that
//                                         long after the ack, "wait <file>" until
//                                         the file exists, "stop" stops receiving,
//                                         "quit" ends it
//   peer_child send <id> <text> <ms> [noack]
//                                         sends one message: exit 0 when sent, 1 not
//   peer_child start <id> <text>          what a start of an application does: runs
//                                         (as serve) or forwards <text> (1000 ms), and
//                                         runs after all when the forward failed and
//                                         the lock is free
//   peer_child lock <file>                "locked" or "busy" for an exclusive lock
//   peer_child plant <lockfile> <socket> [listen-uid [owner-uid]]
//                                         what a hostile local user does: holds a lock on
//                                         <lockfile> (mode 0666), listens on <socket> (as
//                                         listen-uid when given, from root; both files
//                                         owned by owner-uid when given), prints "planted",
//                                         then "got <n>" for each connection that sent
//                                         n > 0 bytes, answering "ack"
//   peer_child connect-as <socket> <uid>  from root: connects as <uid> (reaching the path as
//                                         root), sends one frame asking for "ack" and
//                                         prints "ack" or "no ack"
#include "SingleApplication/QtLocalPeer.h"
#include "SingleApplication/QtLockedFile.h"
#include "SingleApplication/QtSingleCoreApplication.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

void say(const QByteArray& line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

template <class Source>
int serve(QCoreApplication& app, Source* source, const QByteArray& socket)
{
    say(socket.isEmpty() ? QByteArray("running") : "running " + socket);
    QObject::connect(source, &Source::messageReceived, &app, [&app, source](const QString& message) {
        say("message " + message.toUtf8().toBase64());
        if (message.startsWith("sleep ")) {
            QThread::msleep(message.mid(6).toULong());
        } else if (message.startsWith("wait ")) {
            // Busy, reading nothing, until the test says so (at most a minute).
            for (int i = 0; i < 6000 && !QFile::exists(message.mid(5)); ++i)
                QThread::msleep(10);
        } else if (message == "stop")
            source->stopReceiving();
        else if (message == "quit")
            app.quit();
    });
    return app.exec();
}

int plant(const char* lockPath, const char* socketPath, const char* uid, const char* owner)
{
    const int lock = ::open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (lock < 0 || ::fchmod(lock, 0666) != 0 || ::fcntl(lock, F_OFD_SETLK, &whole) != 0)
        return 2;
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath, sizeof(address.sun_path) - 1);
    ::unlink(socketPath);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        return 2;
    ::chmod(socketPath, 0777);
    if (owner) {
        const uid_t id = static_cast<uid_t>(std::atoi(owner));
        if (::fchown(lock, id, id) != 0 || ::chown(socketPath, id, id) != 0)
            return 2;
    }
    // The credentials a connecting peer sees are those of the listen call.
    if (uid) {
        const uid_t id = static_cast<uid_t>(std::atoi(uid));
        if (::setgroups(0, nullptr) != 0 || ::setresgid(id, id, id) != 0 || ::setresuid(id, id, id) != 0)
            return 2;
    }
    if (::listen(listener, 16) != 0)
        return 2;
    say("planted");
    for (;;) {
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0)
            return 2;
        QByteArray got;
        pollfd ready = {connection, POLLIN, 0};
        char buffer[4096];
        while (::poll(&ready, 1, 2000) > 0) {
            const ssize_t n = ::recv(connection, buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<int>(n));
            if (got.size() >= 5 && ::send(connection, "ack", 3, MSG_NOSIGNAL) == 3)
                break;
        }
        if (!got.isEmpty())
            say("got " + QByteArray::number(got.size()));
        ::close(connection);
    }
}

int connectAs(const char* socketPath, const char* uid)
{
    // The peer's credentials are the effective ids; the path is looked up
    // with the file-system ids, which stay root's.
    const uid_t id = static_cast<uid_t>(std::atoi(uid));
    if (::setresgid(static_cast<gid_t>(-1), id, static_cast<gid_t>(-1)) != 0
        || ::setresuid(static_cast<uid_t>(-1), id, static_cast<uid_t>(-1)) != 0)
        return 2;
    ::setfsuid(0);
    ::setfsgid(0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath, sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::perror("connect");
        return 2;
    }
    // The other side may end the connection before the frame is out.
    const char frame[] = {1, 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o'};
    ::send(fd, frame, sizeof(frame), MSG_NOSIGNAL);
    QByteArray got;
    pollfd ready = {fd, POLLIN, 0};
    char buffer[16];
    while (got.size() < 3 && ::poll(&ready, 1, 5000) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<int>(n));
    }
    say(got == "ack" ? "ack" : "no ack");
    // With its ids changed the process cannot be inspected by the
    // sanitizers' check at exit: it ends without it.
    std::_Exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const QByteArray mode = argv[1];
    if (mode == "connect-as" && argc >= 4)
        return connectAs(argv[2], argv[3]);
    if (mode == "plant" && argc >= 4)
        return plant(argv[2], argv[3], argc > 4 ? argv[4] : nullptr, argc > 5 ? argv[5] : nullptr);
    if (mode == "lock") {
        QtLP_Private::QtLockedFile file(QString::fromUtf8(argv[2]));
        if (!file.open(QIODevice::ReadWrite))
            return 2;
        say(file.lock(QtLP_Private::QtLockedFile::WriteLock, false) ? "locked" : "busy");
        return 0;
    }

    const QString id = QString::fromUtf8(argv[2]);
    int qtArgc = 1;
    if (mode == "start") {
        if (argc < 4)
            return 2;
        QtSingleCoreApplication app(id, qtArgc, argv);
        if (app.isRunning()) {
            if (app.sendMessage(QString::fromUtf8(argv[3]), 1000)) {
                say("forwarded");
                return 0;
            }
            if (app.isRunning()) {
                say("not forwarded");
                return 1;
            }
        }
        return serve(app, &app, QByteArray());
    }

    QCoreApplication app(qtArgc, argv);
    QtLocalPeer peer(&app, id);
    if (mode == "serve") {
        if (peer.isClient()) {
            say("client");
            return 3;
        }
        return serve(app, &peer, peer.serverName().toUtf8());
    }
    if (mode == "send" && argc >= 5) {
        const bool waitAck = !(argc > 5 && std::strcmp(argv[5], "noack") == 0);
        return peer.sendMessage(QString::fromUtf8(argv[3]), std::atoi(argv[4]), waitAck) ? 0 : 1;
    }
    return 2;
}
