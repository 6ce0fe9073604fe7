#include "SingleApplication/QtLocalPeer.h"

#include "Logging/Log.h"
#include "LongPath/LongPath.h"
#include "Platform/Session.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QPointer>
#include <QRegExp>
#include <QThread>

#include <cstring>
#include <utility>

using namespace Tellan::Platform;

namespace {

// Looked up once per process; a failed look-up is tried again by the next peer.
Session::ProcessIdToSessionIdFunction& processIdToSessionId()
{
    static auto* function = new Session::ProcessIdToSessionIdFunction();
    return *function;
}

int remaining(const QDeadlineTimer& deadline) { return static_cast<int>(qMax<qint64>(0, deadline.remainingTime())); }

} // namespace

QtLocalPeer::QtLocalPeer(QObject* parent, const QString& appId)
    : QObject(parent), id(appId), server(nullptr), socket(this)
{
    QString prefix = id;
    if (id.isEmpty()) {
        id = QCoreApplication::applicationFilePath().toLower();
        prefix = id.section(QLatin1Char('/'), -1);
    }
    prefix.remove(QRegExp(QStringLiteral("[^a-zA-Z]")));
    prefix.truncate(6);

    const QByteArray idBytes = id.toUtf8();
    const quint16 checksum = qChecksum(idBytes.constData(), static_cast<uint>(idBytes.size()));
    QString name = QStringLiteral("qtlocalpeer-") + prefix + QLatin1Char('-') + QString::number(checksum, 16);

    Session& session = Installed<Session>::get();
    if (!processIdToSessionId())
        processIdToSessionId() = session.lookUpProcessIdToSessionId();
    if (processIdToSessionId()) {
        std::uint32_t sessionId = 0;
        processIdToSessionId()(session.getCurrentProcessId(), &sessionId);
        name += QLatin1Char('-') + QString::number(sessionId, 16);
    }

    server = new QLocalServer(this);

    // Without a private folder there is no channel: no lock file (so this
    // start takes itself for a later one) and nothing to connect to, rather
    // than a name in a folder that others can write.
    std::string folder;
    if (session.getPrivateTempPath(&folder)) {
        socketName = QString::fromUtf8(folder.data(), static_cast<int>(folder.size())) + QLatin1Char('/') + name;
        openLockFile(socketName + QStringLiteral("-lockfile"));
    } else {
        qWarning("QtSingleCoreApplication: no private folder for the lock file and the local socket");
    }
}

void QtLocalPeer::openLockFile(const QString& path)
{
    Session& session = Installed<Session>::get();
    lockFile.setFileName(path);
    if (lockFile.open(QIODevice::ReadWrite) && session.isOwnedByCurrentUser(static_cast<int>(lockFile.handle())))
        return;
    lockFile.close();
    // The folder is ours alone: what stands at the name and cannot be our
    // lock file (another owner's file, a folder, a file we may not write) is
    // in the way, and goes.
    Tellan::LongPath::removeAll(Tellan::LongPath::fromText(path));
    if (lockFile.open(QIODevice::ReadWrite) && session.isOwnedByCurrentUser(static_cast<int>(lockFile.handle())))
        return;
    const QByteArray error = lockFile.errorString().toLocal8Bit();
    lockFile.close();
    qWarning("QtSingleCoreApplication: cannot open the lock file %s, %s", QFile::encodeName(path).constData(),
             error.constData());
}

QtLocalPeer::~QtLocalPeer()
{
    if (watch)
        watch->stop();
    for (auto it = connections.begin(); it != connections.end(); ++it)
        disconnect(it.key(), nullptr, this, nullptr);
    connections.clear();
    // Qt removes the socket file by its path when the server closes: that
    // must happen while the lock still keeps every other start from listening
    // there.
    server->close();
    lockFile.unlock();
}

bool QtLocalPeer::isClient()
{
    if (lockFile.isLocked())
        return false;
    if (!lockFile.lock(QtLP_Private::QtLockedFile::WriteLock, false))
        return true;
    if (server->isListening())
        return false;
    startListening();
    return false;
}

void QtLocalPeer::startListening()
{
    // Only the lock holder gets here, so a socket file at our name is a stale
    // one: left by an instance that was killed or ended without closing its
    // server. Listening fails while it is there.
    QLocalServer::removeServer(socketName);
    if (!server->listen(socketName)) {
        const QByteArray error = server->errorString().toLocal8Bit();
        qWarning("QtSingleCoreApplication: listen on local socket failed, %s", error.constData());
        TLOG_EVENT(ERROR, "QtLocalPeer", "listenFailed", {"error", server->errorString()}, {"path", socketName});
        listenFailureLogged = true;
    }
    connect(server, &QLocalServer::newConnection, this, &QtLocalPeer::receiveConnection, Qt::UniqueConnection);
    if (!watch) {
        watch = new QTimer(this);
        watch->setInterval(250);
        connect(watch, &QTimer::timeout, this, &QtLocalPeer::checkServer);
        watch->start();
    }
}

void QtLocalPeer::checkServer()
{
    if (!receiving || !lockFile.isLocked())
        return;
    const QList<QLocalSocket*> open = connections.keys();
    for (QLocalSocket* connection : open) {
        auto state = connections.find(connection);
        if (state != connections.end() && state->frameDeadline.hasExpired())
            drop(connection);
    }
    // A server whose accept failed has closed and removed its socket but
    // still reports that it listens; only we use that name.
    if (server->isListening() && Tellan::LongPath::exists(Tellan::LongPath::fromText(socketName)))
        return;
    // Stopped while we hold the lock: no one else may listen at our name, so
    // we listen again, as often as it takes.
    if (!listenFailureLogged)
        TLOG_EVENT(WARNING, "QtLocalPeer", "serverStopped", {"error", server->errorString()}, {"path", socketName});
    server->close();
    QLocalServer::removeServer(socketName);
    if (server->listen(socketName)) {
        TLOG_EVENT(WARNING, "QtLocalPeer", "listeningAgain", {"path", socketName});
        listenFailureLogged = false;
        return;
    }
    if (!listenFailureLogged)
        TLOG_EVENT(ERROR, "QtLocalPeer", "listenFailed", {"error", server->errorString()}, {"path", socketName});
    listenFailureLogged = true;
}

bool QtLocalPeer::sendMessage(const QString& message, int timeout, bool waitAck)
{
    if (!isClient())
        return false;
    if (!lockFile.isOpen())
        return false; // no channel; said so when the peer was made
    const QByteArray payload = message.toUtf8();
    if (payload.size() > maxMessageBytes) {
        qWarning("QtSingleCoreApplication: message of %d bytes is too long to send", payload.size());
        return false;
    }
    SendResult result = sendFrame(payload, timeout, waitAck, 2);
    // No one of ours answers, but the lock is held: a running instance that
    // is stopping closes its server first and lets go of the lock once its
    // log is put away; one whose server stopped listens again shortly. This
    // start takes its place when the lock comes free, or sends once it
    // listens, as long as nothing of the frame went out yet.
    const QDeadlineTimer deadline(lockWaitMilliseconds);
    QDeadlineTimer nextAttempt(250);
    for (;;) {
        if (result == SendResult::Acknowledged)
            return true;
        if (result == SendResult::NoAnswer) {
            qWarning("QtSingleCoreApplication: the running instance did not answer in time");
            return false;
        }
        if (!isClient())
            return false;
        if (deadline.hasExpired())
            break;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(lockPollMilliseconds, deadline.remainingTime())));
        if (result == SendResult::Unreachable && nextAttempt.hasExpired()) {
            result = sendFrame(payload, timeout, waitAck, 1);
            nextAttempt = QDeadlineTimer(250);
        }
    }
    qWarning("QtSingleCoreApplication: the running instance holds the lock but cannot be reached");
    return false;
}

void QtLocalPeer::stopReceiving()
{
    receiving = false;
    disconnect(server, &QLocalServer::newConnection, this, &QtLocalPeer::receiveConnection);
    // Starts waiting on us learn at once that we are going, rather than when
    // their wait runs out: they try again and find the free lock or our
    // successor. The lock is still ours, so closing the server here removes
    // no one else's socket.
    server->close();
    const QList<QLocalSocket*> open = connections.keys();
    for (QLocalSocket* connection : open) {
        disconnect(connection, &QLocalSocket::readyRead, this, &QtLocalPeer::readyRead);
        connection->abort();
    }
}

QtLocalPeer::SendResult QtLocalPeer::sendFrame(const QByteArray& payload, int timeout, bool waitAck, int attempts)
{
    if (socket.state() != QLocalSocket::ConnectedState && !connectToPeer(&socket, timeout, attempts))
        return SendResult::Unreachable;
    // A listener of another user gets nothing, not even our arguments.
    if (!Installed<Session>::get().isPeerOfCurrentUser(static_cast<int>(socket.socketDescriptor()))) {
        socket.abort();
        return SendResult::Unreachable;
    }

    // What of the frame reached the connection: once a part did, the receiver
    // may deliver it, and it must not be sent again.
    qint64 sent = 0;
    const QMetaObject::Connection counter =
        connect(&socket, &QLocalSocket::bytesWritten, this, [&sent](qint64 bytes) { sent += bytes; });

    QDataStream out(&socket);
    out.setVersion(QDataStream::Qt_4_8);
    out << waitAck;
    out.writeBytes(payload.constData(), static_cast<uint>(payload.size()));

    const QDeadlineTimer deadline(timeout);
    while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(remaining(deadline))) {}
    disconnect(counter);
    const bool written = socket.bytesToWrite() == 0 && socket.state() == QLocalSocket::ConnectedState;
    if (!waitAck) {
        if (written)
            return SendResult::Acknowledged;
        // The rest must not follow later, nor go out again before a resend.
        socket.abort();
        return sent > 0 ? SendResult::NoAnswer : SendResult::Unreachable;
    }

    // The three bytes may come in more than one piece.
    QByteArray reply;
    while (reply.size() < 3) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(remaining(deadline)))
            break;
        reply += socket.read(3 - reply.size());
    }
    if (written && reply == "ack")
        return SendResult::Acknowledged;
    if (socket.state() != QLocalSocket::ConnectedState)
        return sent > 0 || written ? SendResult::PeerGone : SendResult::Unreachable;
    // A late "ack" must not answer the next message sent on this connection.
    socket.abort();
    return SendResult::NoAnswer;
}

bool QtLocalPeer::connectToPeer(QLocalSocket* target, int timeout) { return connectToPeer(target, timeout, 2); }

bool QtLocalPeer::connectToPeer(QLocalSocket* target, int timeout, int attempts)
{
    if (socketName.isEmpty())
        return false;
    const int half = timeout / 2;
    bool connected = false;
    for (int attempt = 0; attempt < attempts && !connected; ++attempt) {
        if (attempt > 0)
            QThread::msleep(250);
        target->abort();
        target->connectToServer(socketName, QIODevice::ReadWrite);
        connected = target->waitForConnected(half);
    }
    return connected;
}

void QtLocalPeer::receiveConnection()
{
    if (!receiving)
        return;
    QLocalSocket* connection = server->nextPendingConnection();
    if (!connection)
        return;
    const bool full = connections.size() >= maxConnections;
    if (full && !capLogged)
        TLOG_EVENT(WARNING, "QtLocalPeer", "tooManyConnections", {"limit", maxConnections});
    capLogged = full;
    if (full || !Installed<Session>::get().isPeerOfCurrentUser(static_cast<int>(connection->socketDescriptor()))) {
        connection->abort();
        connection->deleteLater();
        return;
    }
    // Qt's buffer of unread bytes stays small; a frame's payload is collected
    // in the connection's state, up to the longest one.
    connection->setReadBufferSize(64 * 1024);
    connect(connection, &QLocalSocket::readyRead, this, &QtLocalPeer::readyRead);
    connect(connection, &QLocalSocket::disconnected, this, &QtLocalPeer::disconnected);
    connections.insert(connection, ConnectionState());
}

void QtLocalPeer::readyRead()
{
    auto* connection = qobject_cast<QLocalSocket*>(sender());
    if (!receiving || !connection || !connections.contains(connection))
        return;
    readFrames(connection);
}

void QtLocalPeer::readFrames(QLocalSocket* connection)
{
    auto state = connections.find(connection);
    if (state->reading)
        return; // re-entered from a slot; the outer pass reads on
    state->reading = true;

    QDataStream in(connection);
    in.setVersion(QDataStream::Qt_4_8);
    int frames = 0;
    // Frames that arrived before a disconnection are still read and delivered.
    while (receiving && !state->dropped && connection->bytesAvailable() > 0) {
        // Once the client is gone, what it left is read to the end at once.
        if (frames == framesPerRead && !state->gone) {
            // The others' turn; this connection's next frames come after.
            QPointer<QLocalSocket> later(connection);
            QMetaObject::invokeMethod(
                this,
                [this, later] {
                    if (later && receiving && connections.contains(later))
                        readFrames(later);
                },
                Qt::QueuedConnection);
            break;
        }
        if (state->bytesRemaining == 0) {
            if (connection->bytesAvailable() < 5)
                break;
            bool ackRequested = false;
            qint32 length = 0;
            in >> ackRequested >> length;
            if (length < 0 || length > maxMessageBytes) {
                // Nothing of this connection can be trusted any more.
                state->gone = true;
                state->dropped = true;
                connection->abort();
                break;
            }
            state->ackRequested = ackRequested;
            state->bytesRemaining = length;
            state->frameDeadline = QDeadlineTimer(state->frameDeadline.remainingTime() + length / 1024);
            continue; // a zero length is neither delivered nor answered
        }

        const qint64 count = qMin<qint64>(state->bytesRemaining, connection->bytesAvailable());
        const QByteArray piece = connection->read(count);
        if (piece.size() != count)
            break;
        state->data += piece;
        state->bytesRemaining -= static_cast<qint32>(count);
        if (state->bytesRemaining != 0)
            continue;

        ++frames;
        state->frameDeadline = QDeadlineTimer(frameMilliseconds);
        // The frame leaves the state before anything can run in between: a
        // slot may end the connection, which must find no cut-off frame to
        // deliver a second time.
        const QByteArray frame = std::move(state->data);
        state->data = QByteArray();
        if (state->ackRequested && !state->gone) {
            // Never waited for: a client whose earlier answers still wait
            // unread is not read any further.
            if (connection->bytesToWrite() > 0) {
                state->gone = true;
                state->dropped = true;
                connection->abort();
                break;
            }
            connection->write("ack", 3);
            connection->flush();
        }
        emit messageReceived(QString::fromUtf8(frame));
        // A slot may have let the connection go.
        state = connections.find(connection);
        if (state == connections.end())
            return;
    }
    state->reading = false;
    if (state->gone)
        finishConnection(connection);
}

void QtLocalPeer::disconnected()
{
    auto* connection = qobject_cast<QLocalSocket*>(sender());
    if (!connection)
        return;
    auto state = connections.find(connection);
    if (state == connections.end())
        return;
    state->gone = true;
    if (state->reading)
        return;
    readFrames(connection);
}

void QtLocalPeer::drop(QLocalSocket* connection)
{
    auto state = connections.find(connection);
    if (state == connections.end())
        return;
    state->dropped = true;
    state->gone = true;
    if (state->reading) {
        connection->abort(); // the reader finishes it
        return;
    }
    disconnect(connection, nullptr, this, nullptr);
    connection->abort();
    finishConnection(connection);
}

void QtLocalPeer::finishConnection(QLocalSocket* connection)
{
    auto state = connections.find(connection);
    if (state == connections.end())
        return;
    disconnect(connection, nullptr, this, nullptr);
    const bool cutOff = state->bytesRemaining != 0 && !state->dropped;
    const QByteArray data = state->data;
    connections.erase(state);
    connection->deleteLater();
    if (cutOff && receiving)
        emit messageReceived(
            QString::fromLatin1(data.constData(), static_cast<int>(qstrnlen(data.constData(), data.size()))));
}
