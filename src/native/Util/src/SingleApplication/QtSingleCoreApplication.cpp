#include "SingleApplication/QtSingleCoreApplication.h"

#include "SingleApplication/QtLocalPeer.h"

QtSingleCoreApplication::QtSingleCoreApplication(int& argc, char** argv)
    : QtSingleCoreApplication(QString(), argc, argv)
{
}

QtSingleCoreApplication::QtSingleCoreApplication(const QString& id, int& argc, char** argv)
    : QCoreApplication(argc, argv), peer(new QtLocalPeer(this, id))
{
    connect(peer, &QtLocalPeer::messageReceived, this, &QtSingleCoreApplication::messageReceived);
}

// The peer goes first, while the application still stands: it closes its
// server and lets go of the lock.
QtSingleCoreApplication::~QtSingleCoreApplication() { delete peer; }

bool QtSingleCoreApplication::isRunning() { return peer->isClient(); }

QString QtSingleCoreApplication::id() const { return peer->applicationId(); }

void QtSingleCoreApplication::stopReceiving() { peer->stopReceiving(); }

bool QtSingleCoreApplication::sendMessage(const QString& message, int timeout)
{
    return peer->sendMessage(message, timeout, true);
}
