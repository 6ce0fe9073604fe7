#pragma once

#include <QCoreApplication>
#include <QString>

class QtLocalPeer;

// A QCoreApplication of which one process per application id runs in the
// user's session; later starts hand it text messages (see QtLocalPeer).
class QtSingleCoreApplication : public QCoreApplication {
    Q_OBJECT

public:
    // The id defaults to the application's file path.
    QtSingleCoreApplication(int& argc, char** argv);
    QtSingleCoreApplication(const QString& id, int& argc, char** argv);
    ~QtSingleCoreApplication() override;

    // True when another process of this id runs in the session; otherwise
    // this process becomes the running instance and listens.
    bool isRunning();
    QString id() const;
    // Answers and delivers no more messages: for an instance about to end.
    void stopReceiving();

public Q_SLOTS:
    // Sends the message to the running instance and waits for its "ack".
    bool sendMessage(const QString& message, int timeout = 5000);

Q_SIGNALS:
    void messageReceived(const QString& message);

private:
    QtLocalPeer* peer;
};
