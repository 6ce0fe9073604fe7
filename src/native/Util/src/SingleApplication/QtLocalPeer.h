#pragma once

#include "SingleApplication/QtLockedFile.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

// The channel between the running instance of an application id and later
// starts in the same session. The holder of the lock file is the running
// instance and listens on a local socket; a later start connects and sends
// framed messages, each answered with "ack" when the sender asks for it.
//
// Frame: one flag byte (1: the sender waits for "ack"), the payload length as
// a 32-bit big-endian number, then the payload (UTF-8).
//
// The lock file and the socket live in the user's private temporary folder,
// so another local user can neither hold the lock nor reach the socket; each
// side also checks that the other end of a connection is the same user.
// One client cannot make the running instance deaf: connections are capped
// and timed, reading takes turns and never waits on a client, and a server
// that stopped listens again. Everything here runs on the thread of the
// application object.
class QtLocalPeer : public QObject {
    Q_OBJECT

public:
    // The longest payload a receiver accepts, and a sender sends: above any
    // forwarded argument list (Linux passes at most 6 MiB of arguments, which
    // the list's UTF-16 and base64 make at most 16 MiB). A frame that
    // announces more, or a negative length, ends its connection unanswered.
    static constexpr qint32 maxMessageBytes = 16 * 1024 * 1024;
    // Connections held at one time (a start needs one, for a moment); those
    // accepted past it are aborted at once.
    static constexpr int maxConnections = 32;
    // Time a connection has for each frame, from its start or the end of its
    // last frame, and one more second for each MiB a frame announces; then
    // it is aborted.
    static constexpr int frameMilliseconds = 5000;
    // Frames read from one connection before the others get their turn.
    static constexpr int framesPerRead = 4;
    // How long a start waits for the lock of a running instance that does not
    // listen (one that is stopping), asking every lockPollMilliseconds.
    static constexpr int lockWaitMilliseconds = 5000;
    static constexpr int lockPollMilliseconds = 25;

    QtLocalPeer(QObject* parent = nullptr, const QString& appId = QString());
    // Closes the server before it lets the lock go: a start that takes the
    // lock in between must not lose its socket to our closing server.
    ~QtLocalPeer() override;

    // True when another process holds the lock; otherwise this process holds
    // it (from now on) and listens.
    bool isClient();
    // True when the frame was written and, with waitAck, acknowledged within
    // `timeout` ms. When the lock holder cannot be reached or closes the
    // connection unanswered (it may be stopping), waits up to
    // lockWaitMilliseconds for the lock: false, and this process the running
    // instance, when it got it. Other failures say why on stderr.
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
        // Ended by us: what was cut off is not delivered.
        bool dropped = false;
        QDeadlineTimer frameDeadline{frameMilliseconds};
    };

    QString id;
    QString socketName;
    QLocalServer* server;
    QtLP_Private::QtLockedFile lockFile;
    QLocalSocket socket;
    QMap<QLocalSocket*, ConnectionState> connections;
    bool receiving = true;
    // While this process holds the lock: ends connections past their time
    // and listens again when the server stopped (Qt closes it, and removes
    // its socket, when accepting fails, e.g. out of descriptors).
    QTimer* watch = nullptr;
    bool listenFailureLogged = false;
    bool capLogged = false;

private:
    // Unreachable: nothing of the frame went out. PeerGone: the connection
    // ended after some of it did, unanswered.
    enum class SendResult { Acknowledged, NoAnswer, Unreachable, PeerGone };
    SendResult sendFrame(const QByteArray& payload, int timeout, bool waitAck, int attempts);
    bool connectToPeer(QLocalSocket* socket, int timeout, int attempts);
    void openLockFile(const QString& path);
    void readFrames(QLocalSocket* connection);
    void drop(QLocalSocket* connection);
    void finishConnection(QLocalSocket* connection);
    void checkServer();
};
