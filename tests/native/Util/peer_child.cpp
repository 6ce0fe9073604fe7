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
#include "SingleApplication/QtLocalPeer.h"
#include "SingleApplication/QtLockedFile.h"
#include "SingleApplication/QtSingleCoreApplication.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <cstdio>
#include <cstring>

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

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    const QByteArray mode = argv[1];
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
