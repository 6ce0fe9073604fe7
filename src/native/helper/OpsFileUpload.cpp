#include "OpsFileUpload.h"

#include "Foundation/ProductConstants.h"
#include "HelperConfig.h"
#include "Logging/Log.h"

#include <QByteArray>
#include <QFileInfo>
#include <QRegExp>
#include <QUrl>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <locale>
#include <sstream>

namespace {

// Never destroyed: an upload on the File Upload thread may still be running
// while the process exits.
struct RequestConstants {
    const QString uploadHost = QString::fromUtf8(Tellan::Config::uploadHost);
    const QString servletPath = QStringLiteral("/DeviceEventProxy/VYKLogServlet?key=");
    const std::string preambleText = "\nFiles: messages.0\nMFBS/1.0 1\nContent-Name: Content\nContent-Encoding: text\n";
    const QRegExp uploadTagPattern{QStringLiteral("^([a-zA-Z]+)(-[a-zA-Z]+)*-v.*$"), Qt::CaseSensitive, QRegExp::RegExp};
    const QString crashTag = QStringLiteral("CRASH");
    const QString crashDumpSuffix = QStringLiteral("dmp");
};

const RequestConstants& constants()
{
    static const RequestConstants* const c = new RequestConstants();
    return *c;
}
const char deviceType[] = "R4TKW9XQ2MNB7F";

std::string computeContentLength(const boost::shared_ptr<Tellan::OpsFileInfo>& info, const std::string& extra)
{
    const qint64 size = QFileInfo(info->path).size();
    std::stringstream text;
    text.imbue(std::locale::classic());
    text << size + qint64(extra.size());
    return text.str();
}

std::string createBodyPreamble(const boost::shared_ptr<Tellan::OpsFileInfo>& info)
{
    return constants().preambleText + "Content-Length: " + computeContentLength(info, std::string()) + "\n\n";
}

OpsRequest createOpsRequest(const boost::shared_ptr<Tellan::OpsFileInfo>& info, const std::string& deviceId,
                            const std::string& preamble)
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
    headers["Content-Length"] = computeContentLength(info, preamble);
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
    default:
        TLOG(DEBUG, "OpsFileUpload") << "Unsupported file extension";
        return OpsRequest();
    }

    request.headers = headers;
    request.url = url.toUtf8().toStdString();
    request.path = target.toUtf8().toStdString();
    TLOG(TRACE, "OpsFileUpload") << "uploadTag = " << tag;
    return request;
}

bool isIpLiteral(const std::string& host)
{
    boost::system::error_code error;
    boost::asio::ip::make_address(host, error);
    return !error;
}

} // namespace

namespace Tellan {

using boost::asio::ip::tcp;

const std::chrono::milliseconds OpsFileUpload::defaultConnectBound = std::chrono::seconds(30);
const std::chrono::milliseconds OpsFileUpload::defaultProgressBound = std::chrono::seconds(60);

OpsFileUpload::Endpoint::Endpoint()
    : host(Config::uploadHost)
    , service("https")
    , extraCaFile(Config::uploadExtraCaFile)
    , connectBound(defaultConnectBound)
    , progressBound(defaultProgressBound)
{
}

OpsFileUpload::OpsFileUpload(const boost::shared_ptr<OpsFileInfo>& info, const std::string& deviceId,
                             ThreadBoundCallback callback)
    : OpsFileUpload(info, deviceId, std::move(callback), Endpoint())
{
}

OpsFileUpload::OpsFileUpload(const boost::shared_ptr<OpsFileInfo>& info, const std::string& deviceId,
                             ThreadBoundCallback callback, const Endpoint& endpoint)
    : ioService(1)
    , resolver(ioService)
    , callback(std::move(callback))
    , deadline(ioService)
    , file(info->path)
    , httpStatus(0)
    , sentAmount(0)
    , contentLength(0)
    , parser(new http_parser)
    , info(info)
    , dsn(deviceId)
    , completed(false)
    , endpoint(endpoint)
    , reported(false)
    , timedOut(false)
    , fileGrew(false)
{
    http_parser_settings_init(&parserSettings);
    parserSettings.on_message_complete = &OpsFileUpload::onMessageComplete;
    http_parser_init(parser, HTTP_RESPONSE);
    parser->data = this;

    // The TLS library may fail to make a context: the upload then cannot
    // start, and Start says so, instead of the exception ending the process.
    try {
        sslContext.reset(new boost::asio::ssl::context(boost::asio::ssl::context::sslv23_client));
        sslContext->set_options(boost::asio::ssl::context::default_workarounds
                                | boost::asio::ssl::context::no_compression);
        // Logs and crash dumps go only to a server that proves it is the
        // upload host: the system's authorities, plus the configured ones.
        sslContext->set_default_verify_paths();
        if (!endpoint.extraCaFile.empty())
            sslContext->load_verify_file(endpoint.extraCaFile);
        sslContext->set_verify_mode(boost::asio::ssl::verify_peer);

        socket.reset(new TlsStream(ioService, *sslContext));
        SSL* ssl = socket->native_handle();
        const char* host = endpoint.host.c_str();
        // Server name indication is for names only; an IP literal is checked
        // against the certificate's addresses.
        const bool named = !isIpLiteral(endpoint.host);
        const bool configured = named
            ? SSL_set_tlsext_host_name(ssl, host) == 1 && SSL_set1_host(ssl, host) == 1
            : X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host) == 1;
        if (!configured)
            throw boost::system::system_error(boost::asio::error::invalid_argument, "host name");
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    } catch (const boost::system::system_error& error) {
        tlsError = QString::fromStdString(error.what());
        socket.reset();
        sslContext.reset();
    }
}

OpsFileUpload::~OpsFileUpload()
{
    TLOG(INFO, "OpsFileUpload");
    delete parser;
    // The members then close the file if it is still open and the TCP
    // connection, with no TLS close.
}

bool OpsFileUpload::Start()
{
    const qint64 size = QFileInfo(info->path).size();
    if (size < 1) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "logFileEmpty", {"path", info->path});
        return false;
    }

    preamble = createBodyPreamble(info);
    contentLength = size;
    request = createOpsRequest(info, dsn, preamble);
    TLOG(DEBUG, "OpsFileUpload") << "Starting file upload: URL: " << QString::fromStdString(request.url);

    if (!StartUpload())
        return false;

    ioService.run();
    return true;
}

bool OpsFileUpload::StartUpload()
{
    if (!socket) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotCreateTlsContext", {"error", tlsError});
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotOpenLogFile", {"path", info->path});
        return false;
    }
    file.seek(0);

    armDeadline(endpoint.connectBound);
    if (!endpoint.addresses.empty()) {
        addresses = endpoint.addresses;
        connect();
        return true;
    }
    resolver.async_resolve(endpoint.host, endpoint.service, tcp::resolver::address_configured,
                           boost::bind(&OpsFileUpload::handleResolve, this, boost::asio::placeholders::error,
                                       boost::asio::placeholders::results));
    return true;
}

void OpsFileUpload::handleResolve(const boost::system::error_code& error, const tcp::resolver::results_type& endpoints)
{
    // A look-up that is already running cannot be cancelled: when it comes
    // back after the bound ran out, the upload has timed out all the same.
    if (error || timedOut) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotResolveUrl", {"error", errorText(error)});
        report(-1);
        return;
    }
    addresses.assign(endpoints.begin(), endpoints.end());
    connect();
}

void OpsFileUpload::connect()
{
    // Tries each address in turn, closing the socket before each attempt.
    boost::asio::async_connect(socket->lowest_layer(), addresses.cbegin(), addresses.cend(),
                               boost::bind(&OpsFileUpload::handleConnect, this, boost::asio::placeholders::error,
                                           boost::asio::placeholders::iterator));
}

void OpsFileUpload::handleConnect(const boost::system::error_code& error, Addresses::const_iterator)
{
    if (error) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotAcceptServer", {"error", errorText(error)});
        report(-1);
        return;
    }
    socket->async_handshake(boost::asio::ssl::stream_base::client,
                            boost::bind(&OpsFileUpload::handleHandshake, this, boost::asio::placeholders::error));
}

void OpsFileUpload::handleHandshake(const boost::system::error_code& error)
{
    if (error) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotHandshakeServer", {"error", errorText(error)});
        report(-1);
        return;
    }
    head = request.headString();
    writeAll(head.data(), head.size(),
             boost::bind(&OpsFileUpload::handleLogHeader, this, boost::asio::placeholders::error));
}

void OpsFileUpload::handleLogHeader(const boost::system::error_code& error)
{
    if (error) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotWriteRequest", {"error", errorText(error)});
        report(-1);
        return;
    }
    writeAll(preamble.data(), preamble.size(),
             boost::bind(&OpsFileUpload::handleWriteFile, this, boost::asio::placeholders::error,
                         boost::asio::placeholders::bytes_transferred));
}

void OpsFileUpload::handleWriteFile(const boost::system::error_code& error, std::size_t)
{
    if (error) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotWriteFile", {"error", errorText(error)});
        report(-1);
        return;
    }

    // Never more than the request announced: bytes past its Content-Length
    // would reach the server as the start of another request.
    const qint64 wanted = std::min<qint64>(chunkSize, contentLength - sentAmount);
    const qint64 read = file.read(fileBuffer, wanted);
    if (read <= 0) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotProperlyReadLogFile", {"path", info->path});
        report(-1);
        return;
    }
    TLOG(DEBUG, "OpsFileUpload") << "send " << read << " bytes, total:" << file.pos() << " bytes.\n";
    sentAmount += read;

    const bool announcedSent = sentAmount == contentLength;
    if (!file.atEnd() && !announcedSent) {
        writeAll(fileBuffer, std::size_t(read),
                 boost::bind(&OpsFileUpload::handleWriteFile, this, boost::asio::placeholders::error,
                             boost::asio::placeholders::bytes_transferred));
        return;
    }

    if (!file.atEnd()) {
        // The file grew while it was sent. The request ends where it said it
        // would, and the exchange fails, so that the file stays queued and
        // goes out whole next time.
        fileGrew = true;
        TLOG_EVENT(ERROR, "OpsFileUpload", "sentDataContentLengthMisMatch", {"contentLength", quint64(contentLength)},
                   {"sentAmount", quint64(sentAmount)}, {"fileSize", quint64(QFileInfo(info->path).size())});
    }
    fileBuffer[read] = ' ';
    file.close();
    writeAll(fileBuffer, std::size_t(read) + 1,
             boost::bind(&OpsFileUpload::readResponse, this, boost::asio::placeholders::error,
                         boost::asio::placeholders::bytes_transferred));
}

void OpsFileUpload::readResponse(const boost::system::error_code& error, std::size_t)
{
    if (!error && sentAmount < contentLength) {
        if (padding.empty())
            TLOG_EVENT(ERROR, "OpsFileUpload", "sentDataContentLengthMisMatch", {"contentLength", quint64(contentLength)},
                       {"sentAmount", quint64(sentAmount)});
        // The file shrank: spaces make up the missing bytes, so that the body
        // still has the length its head announced; a piece at a time, since
        // the shortfall may be most of a large file.
        padding.assign(std::size_t(std::min<qint64>(chunkSize, contentLength - sentAmount)), ' ');
        sentAmount += qint64(padding.size());
        writeAll(padding.data(), padding.size(),
                 boost::bind(&OpsFileUpload::readResponse, this, boost::asio::placeholders::error,
                             boost::asio::placeholders::bytes_transferred));
        return;
    }
    if (error) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotFinishFileWrite", {"error", errorText(error)});
        report(-1);
        return;
    }
    armDeadline(endpoint.progressBound);
    socket->async_read_some(boost::asio::buffer(responseBuffer),
                            boost::bind(&OpsFileUpload::handleReadResponse, this, boost::asio::placeholders::error,
                                        boost::asio::placeholders::bytes_transferred));
}

void OpsFileUpload::handleReadResponse(const boost::system::error_code& error, std::size_t bytesTransferred)
{
    // The server ending the TLS stream is no error of its own: what was read
    // before it still counts.
    if (error && error != boost::asio::error::eof) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotReadServerResponse", {"error", errorText(error)});
        report(-1);
        return;
    }
    if (bytesTransferred == 0) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "socketReadError", {"readLength", 0});
        report(-1);
        return;
    }

    const std::size_t parsed = http_parser_execute(parser, &parserSettings, responseBuffer, bytesTransferred);
    if (parsed < bytesTransferred) {
        report(-1);
        TLOG_EVENT(ERROR, "OpsFileUpload", "httpParsedMismatch", {"httpParsed", int(parsed)},
                   {"httpRead", int(bytesTransferred)});
        return;
    }
    if (completed)
        return;
    readResponse(boost::system::error_code(), bytesTransferred);
}

int OpsFileUpload::onMessageComplete(http_parser* parser)
{
    OpsFileUpload* self = static_cast<OpsFileUpload*>(parser->data);
    self->completed = true;
    if (self->fileGrew) {
        // Whatever the server answered, the file must stay queued: the queue
        // goes by the status, so it stays 0.
        self->report(-1);
        return 0;
    }
    self->httpStatus = int(parser->status_code);
    self->report(0);
    return 0;
}

template <typename Handler>
void OpsFileUpload::writeAll(const char* data, std::size_t size, Handler handler)
{
    boost::asio::async_write(
        *socket, boost::asio::buffer(data, size),
        [this](const boost::system::error_code& error, std::size_t transferred) -> std::size_t {
            if (!error)
                armDeadline(endpoint.progressBound);
            return boost::asio::transfer_all()(error, transferred);
        },
        handler);
}

void OpsFileUpload::armDeadline(std::chrono::milliseconds bound)
{
    deadline.expires_after(bound);
    deadline.async_wait(boost::bind(&OpsFileUpload::handleDeadline, this, boost::asio::placeholders::error));
}

void OpsFileUpload::handleDeadline(const boost::system::error_code& error)
{
    // A wait that was cancelled or renewed, or one that ran out just as the
    // exchange ended, stops nothing.
    if (error == boost::asio::error::operation_aborted || reported
        || deadline.expiry() > std::chrono::steady_clock::now())
        return;
    // The pending step ends with an error, and its handler reports.
    timedOut = true;
    boost::system::error_code ignored;
    resolver.cancel();
    socket->lowest_layer().close(ignored);
}

void OpsFileUpload::report(int result)
{
    if (reported)
        return;
    reported = true;
    deadline.cancel();
    callback(result);
}

QString OpsFileUpload::errorText(const boost::system::error_code& error) const
{
    return timedOut ? QStringLiteral("timed out") : QString::fromStdString(error.message());
}

} // namespace Tellan
