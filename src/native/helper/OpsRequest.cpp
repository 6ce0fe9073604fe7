#include "OpsRequest.h"

#include "Foundation/ProductConstants.h"
#include "HelperConfig.h"
#include "Logging/Log.h"

#include <QByteArray>
#include <QFileInfo>
#include <QRegExp>
#include <QString>
#include <QUrl>

#include <locale>
#include <sstream>

namespace {

// A value read back from settings or derived from a file may hold anything: a
// CR, LF or NUL in it would end the header line early or start another one.
// Each becomes a space, as RFC 9110 asks a recipient to treat them.
std::string headerValue(std::string value)
{
    for (char& c : value)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return value;
}

// Never destroyed: an upload on the File Upload thread may still be running
// while the process exits.
struct RequestConstants {
    const QString uploadHost = QString::fromUtf8(Tellan::Config::uploadHost);
    const QString servletPath = QStringLiteral("/DeviceEventProxy/VYKLogServlet?key=");
    const std::string preambleText = "\nFiles: messages.0\nMFBS/1.0 1\nContent-Name: Content\nContent-Encoding: text\n";
    const QRegExp uploadTagPattern{QStringLiteral("^([a-zA-Z]+)(-[a-zA-Z]+)*-v.*$"), Qt::CaseSensitive,
                                   QRegExp::RegExp};
    const QString crashTag = QStringLiteral("CRASH");
    const QString crashDumpSuffix = QStringLiteral("dmp");
};

const RequestConstants& constants()
{
    static const RequestConstants* const c = new RequestConstants();
    return *c;
}
const char deviceType[] = "R4TKW9XQ2MNB7F";

} // namespace

std::string OpsRequest::headString() const
{
    std::string head = method + " " + path + " HTTP/1.1\r\n";
    for (const auto& header : headers)
        head += header.first + ": " + headerValue(header.second) + "\r\n";
    return head;
}

std::string computeContentLength(qint64 size, const std::string& extra)
{
    std::stringstream text;
    text.imbue(std::locale::classic());
    text << size + qint64(extra.size());
    return text.str();
}

std::string createBodyPreamble(qint64 size)
{
    return constants().preambleText + "Content-Length: " + computeContentLength(size, std::string()) + "\n\n";
}

OpsRequest createOpsRequest(const boost::shared_ptr<Tellan::OpsFileInfo>& info, const std::string& deviceId,
                            const std::string& preamble, qint64 size)
{
    const QString name = QFileInfo(info->path).fileName();
    const QString key = QString::fromLatin1(QUrl::toPercentEncoding(name));
    const QString target = constants().servletPath + key;
    const QString url = QStringLiteral("https://") + constants().uploadHost + target;

    // A match keeps its captures in the pattern object: each request matches
    // with its own copy, whichever thread builds it.
    QRegExp pattern = constants().uploadTagPattern;
    QString tag = QStringLiteral("unknown");
    if (pattern.exactMatch(name))
        tag = pattern.cap(1);
    else if (QFileInfo(info->path).suffix() == constants().crashDumpSuffix)
        tag = constants().crashTag;

    OpsRequest request;
    request.method = "POST";

    std::map<std::string, std::string> headers;
    headers["Host"] = constants().uploadHost.toLatin1().toStdString();
    headers["Connection"] = "keep-alive";
    headers["Content-Type"] = "Text";
    headers["Content-Length"] = computeContentLength(size, preamble);
    headers["X-devicetype"] = deviceType;
    headers["X-DeviceFirmwareVersion"] = Tellan::Constants::version;
    headers["X-DSN"] = deviceId;
    headers["X-Upload-Tag"] = tag.toUtf8().toStdString();

    switch (info->type) {
    case Tellan::OpsFileInfo::CrashDump:
        TLOG(TRACE, "OpsFileUpload") << "Crash file";
        headers["X-Content-Type"] = "BinaryFile";
        break;
    case Tellan::OpsFileInfo::LogFile:
        TLOG(TRACE, "OpsFileUpload") << "Log file";
        headers["X-Content-Type"] = "PavrelLogFormat-1.0";
        break;
    default: TLOG(DEBUG, "OpsFileUpload") << "Unsupported file extension"; return OpsRequest();
    }

    request.headers = headers;
    request.url = url.toUtf8().toStdString();
    request.path = target.toUtf8().toStdString();
    TLOG(TRACE, "OpsFileUpload") << "uploadTag = " << tag;
    return request;
}
