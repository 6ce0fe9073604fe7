#include "HelperApp.h"

#include "HelperConfig.h"
#include "HelperLogger.h"

#include "Foundation/ProductConstants.h"
#include "Logging/Log.h"

#include <QByteArray>
#include <QDataStream>
#include <QFileInfo>

namespace Tellan {

namespace {

const char killOption[] = "--kill";
const int forwardTimeoutMilliseconds = 1000;

bool isKill(const QString& argument) { return argument.compare(QLatin1String(killOption), Qt::CaseInsensitive) == 0; }

} // namespace

HelperApp::HelperApp(int& argc, char** argv)
    : QtSingleCoreApplication(QString::fromUtf8(Constants::helperApplicationName), argc, argv),
      version(QString::fromUtf8(Constants::version)), buildNumber(version.section(QLatin1Char('.'), -1)),
      unnamed(QLatin1String("")), applicationName(QString::fromUtf8(Constants::helperApplicationName)),
      product(QString::fromUtf8(Constants::productName))
{
    QCoreApplication::setOrganizationName(QStringLiteral("Zorvik Services LLC"));
    QCoreApplication::setOrganizationDomain(QString::fromUtf8(Config::organisationDomain));
    QCoreApplication::setApplicationName(applicationName);
    QCoreApplication::setApplicationVersion(version);
}

HelperApp::~HelperApp() = default;

bool HelperApp::start()
{
    for (const QString& argument : QCoreApplication::arguments()) {
        if (isKill(argument))
            return false;
    }
    Logging::instance().setLogger(new HelperLogger());
    if (!setTellanPath(QCoreApplication::applicationDirPath()))
        return false;
    reporter.start();
    connect(this, &QtSingleCoreApplication::messageReceived, this, &HelperApp::messageReceivedFromOtherInstance);
    return true;
}

bool HelperApp::setTellanPath(const QString& folder)
{
    tellanPath = folder + QLatin1Char('/') + product + QStringLiteral(".exe");
    TLOG_EVENT(INFO, "helper", "settingTellanPath", {"path", folder});
    const QFileInfo executable(tellanPath);
    // A folder of that name would pass the test for executable bits.
    if (executable.exists() && executable.isFile() && executable.isExecutable())
        return true;
    tellanPath = QLatin1String("");
    return false;
}

void HelperApp::shutdown()
{
    if (!QCoreApplication::closingDown()) {
        TLOG(INFO, "helper") << "Begin helper shutdown";
        reporter.stop();
        Logging::instance().disableLogger();
        Logging::instance().closeLogger();
    } else {
        TLOG(INFO, "helper") << "Helper shutdown already in progress";
    }
}

bool HelperApp::sendArgumentsToRunningInstance()
{
    const QString message = encodeArguments();
    if (message.isEmpty())
        return true;
    return sendMessage(message, forwardTimeoutMilliseconds);
}

QString HelperApp::productName() const { return product; }

void HelperApp::messageReceivedFromOtherInstance(const QString& message)
{
    QStringList arguments = decodeArguments(message);
    if (!arguments.isEmpty())
        arguments.removeFirst(); // the sender's program path
    for (const QString& argument : arguments) {
        if (isKill(argument)) {
            // exit() only ends the loop once this round of events is done:
            // starts already waiting in it must not be told a helper runs.
            stopReceiving();
            QCoreApplication::exit(0);
            return;
        }
    }
}

QString encodeArguments()
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_8);
    out << QCoreApplication::arguments();
    const QByteArray text = bytes.toBase64();
    return text.isNull() ? QString() : QString::fromLatin1(text);
}

QStringList decodeArguments(const QString& message)
{
    const QByteArray bytes = QByteArray::fromBase64(message.toLatin1());
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_4_8);
    // Read element by element: Qt's list reader reserves room for the count
    // it reads before any element, and a forged count near 2^31 ends the
    // process. Each element is at least four bytes, so the count cannot make
    // this loop outlast the message.
    quint32 count = 0;
    in >> count;
    QStringList list;
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        QString element;
        in >> element;
        if (in.status() != QDataStream::Ok)
            break;
        list.append(element);
    }
    return list;
}

} // namespace Tellan
