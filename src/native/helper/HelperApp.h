#pragma once

#include "VykReporter.h"

#include "SingleApplication/QtSingleCoreApplication.h"

#include <QString>
#include <QStringList>

namespace Tellan {

// The helper's application object: the running helper of the user's session
// or a start that forwards its arguments to it. Everything runs on the main
// thread. Constructing it runs the first clean-up and report pass, before the
// single-instance test.
class HelperApp : public QtSingleCoreApplication {
    Q_OBJECT

public:
    // argc must outlive the object (QCoreApplication keeps a reference).
    HelperApp(int& argc, char** argv);
    ~HelperApp() override;

    // Ready for the event loop: not asked to "--kill", log file installed,
    // the product's executable beside the helper, report timer started.
    bool start();
    // True when folder/"Zorvik Music.exe" is an executable file; the check
    // is logged with the folder.
    bool setTellanPath(const QString& folder);
    // Logs, stops the timer and closes (archives) the log file.
    void shutdown();
    // True when the running helper acknowledged this process's arguments.
    bool sendArgumentsToRunningInstance();
    QString productName() const;

private Q_SLOTS:
    // Ends the event loop with 0 for every "--kill" after the sender's path.
    void messageReceivedFromOtherInstance(const QString& message);

private:
    QString version;
    QString buildNumber;
    QString unnamed;
    QString applicationName;
    QString product;
    QString tellanPath;
    VykReporter reporter;
};

// This process's arguments as the text of a single-instance message: the
// list in Qt 4.8 stream form, in base64.
QString encodeArguments();
// The inverse. A count read from the message reserves nothing, and every
// complete element before the first damaged one is kept.
QStringList decodeArguments(const QString& message);

} // namespace Tellan
