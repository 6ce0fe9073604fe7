#include "SingleApplication/QtLocalPeer.h"

#include "Logging/Log.h"
#include "Platform/Session.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDeadlineTimer>
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
        lockFile.setFileName(socketName + QStringLiteral("-lockfile"));
        lockFile.open(QIODevice::ReadWrite);
    }
}

QtLocalPeer::~QtLocalPeer()
{
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
    }
    connect(server, &QLocalServer::newConnection, this, &QtLocalPeer::receiveConnection);
}

bool QtLocalPeer::sendMessage(const QString& message, int timeout, bool waitAck)
{
    const QByteArray payload = message.toUtf8();
    // A running instance that is stopping drops its connections unanswered
    // and lets go of the lock a moment later: the second round finds either
    // the free lock or its successor.
    for (int round = 0; round < 2; ++round) {
        if (!isClient())
            return false;
        if (payload.size() > maxMessageBytes)
            return false;
        switch (sendFrame(payload, timeout, waitAck)) {
        case SendResult::Acknowledged: return true;
        case SendResult::NoAnswer: return false;
        case SendResult::PeerGone: break;
        }
    }
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

QtLocalPeer::SendResult QtLocalPeer::sendFrame(const QByteArray& payload, int timeout, bool waitAck)
{
    if (socket.state() != QLocalSocket::ConnectedState && !connectToPeer(&socket, timeout))
        return SendResult::PeerGone;

    // What of the frame reached the connection: once a part did, the receiver
    // may deliver it, and a second round must not send it again.
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
        return sent > 0 ? SendResult::NoAnswer : SendResult::PeerGone;
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
        return SendResult::PeerGone;
    // A late "ack" must not answer the next message sent on this connection.
    socket.abort();
    return SendResult::NoAnswer;
}

bool QtLocalPeer::connectToPeer(QLocalSocket* target, int timeout)
{
    if (socketName.isEmpty())
        return false;
    const int half = timeout / 2;
    bool connected = false;
    for (int attempt = 0; attempt < 2 && !connected; ++attempt) {
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
        return; // re-entered from the wait below; the outer pass reads on
    state->reading = true;

    QDataStream in(connection);
    in.setVersion(QDataStream::Qt_4_8);
    // Frames that arrived before a disconnection are still read and delivered.
    while (receiving && connection->bytesAvailable() > 0) {
        if (state->bytesRemaining == 0) {
            if (connection->bytesAvailable() < 5)
                break;
            bool ackRequested = false;
            qint32 length = 0;
            in >> ackRequested >> length;
            if (length < 0 || length > maxMessageBytes) {
                // Nothing of this connection can be trusted any more.
                state->gone = true;
                connection->abort();
                break;
            }
            state->ackRequested = ackRequested;
            state->bytesRemaining = length;
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

        // The frame leaves the state before anything can run in between: the
        // wait for the "ack" may deliver the disconnection, which must find no
        // cut-off frame to deliver a second time.
        const QByteArray frame = std::move(state->data);
        state->data = QByteArray();
        if (state->ackRequested && !state->gone) {
            connection->write("ack", 3);
            connection->waitForBytesWritten(1000);
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
    if (state->reading) {
        state->gone = true;
        return;
    }
    finishConnection(connection);
}

void QtLocalPeer::finishConnection(QLocalSocket* connection)
{
    auto state = connections.find(connection);
    if (state == connections.end())
        return;
    disconnect(connection, nullptr, this, nullptr);
    const bool cutOff = state->bytesRemaining != 0;
    const QByteArray data = state->data;
    connections.erase(state);
    connection->deleteLater();
    if (cutOff && receiving)
        emit messageReceived(
            QString::fromLatin1(data.constData(), static_cast<int>(qstrnlen(data.constData(), data.size()))));
}
