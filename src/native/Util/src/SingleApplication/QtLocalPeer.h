#pragma once

#include "SingleApplication/QtLockedFile.h"

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMap>
#include <QObject>
#include <QString>

// The channel between the running instance of an application id and later
// starts in the same session. The holder of the lock file is the running
// instance and listens on a local socket; a later start connects and sends
// framed messages, each answered with "ack" when the sender asks for it.
//
// Frame: one flag byte (1: the sender waits for "ack"), the payload length as
// a 32-bit big-endian number, then the payload (UTF-8).
//
// The lock file and the socket live in the user's private temporary folder,
// so another local user can neither hold the lock nor reach the socket.
// Everything here runs on the thread of the application object.
class QtLocalPeer : public QObject {
    Q_OBJECT

public:
    // The longest payload a receiver accepts, and a sender sends. A forwarded
    // argument list is small (a Windows command line holds at most 32767
    // characters, about 87 KiB once encoded); a frame that announces more, or
    // a negative length, ends its connection unread and unanswered.
    static constexpr qint32 maxMessageBytes = 1024 * 1024;

    QtLocalPeer(QObject* parent = nullptr, const QString& appId = QString());
    // Closes the server before it lets the lock go: a start that takes the
    // lock in between must not lose its socket to our closing server.
    ~QtLocalPeer() override;

    // True when another process holds the lock; otherwise this process holds
    // it (from now on) and listens.
    bool isClient();
    // True when the frame was written and, with waitAck, acknowledged within
    // `timeout` ms. A running instance that closes the connection unanswered
    // or cannot be reached is tried once more (it may be stopping, and its
    // successor or the free lock is then found); false, and this process the
    // running instance, when the lock turns out to be free.
    bool sendMessage(const QString& message, int timeout, bool waitAck);
    // Reads, answers and delivers nothing more, from now on: for an instance
    // that is about to end. Closes the server and every connection (what was
    // answered has gone out), so that waiting starts try again at once and
    // take its place once the lock is free.
    void stopReceiving();

    QString applicationId() const { return id; }
    // The local socket's path; empty when the user has no private folder.
    QString serverName() const { return socketName; }

Q_SIGNALS:
    void messageReceived(const QString& message);

protected Q_SLOTS:
    void receiveConnection();
    void readyRead();
    void disconnected();

protected:
    // Connects `socket` to the running instance: two attempts, 250 ms apart,
    // each waiting up to timeout / 2.
    bool connectToPeer(QLocalSocket* socket, int timeout);
    void startListening();

    struct ConnectionState {
        bool ackRequested = true;
        qint32 bytesRemaining = 0;
        QByteArray data;
        // Frames are being read: a disconnection that arrives meanwhile (from
        // inside the wait for an "ack" to go out) is finished by the reader.
        bool reading = false;
        bool gone = false;
    };

    QString id;
    QString socketName;
    QLocalServer* server;
    QtLP_Private::QtLockedFile lockFile;
    QLocalSocket socket;
    QMap<QLocalSocket*, ConnectionState> connections;
    bool receiving = true;

private:
    enum class SendResult { Acknowledged, NoAnswer, PeerGone };
    SendResult sendFrame(const QByteArray& payload, int timeout, bool waitAck);
    void readFrames(QLocalSocket* connection);
    void finishConnection(QLocalSocket* connection);
};
