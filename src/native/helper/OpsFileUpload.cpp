#include "OpsFileUpload.h"

#include "HelperConfig.h"
#include "Logging/Log.h"
#include "LongPath/LongPath.h"
#include "Platform/Files.h"
#include "Platform/Platform.h"
#include "Platform/SocketOptions.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/placeholders.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

bool isIpLiteral(const std::string& host)
{
    boost::system::error_code error;
    boost::asio::ip::make_address(host, error);
    return !error;
}

Tellan::OpsFileUpload::Addresses systemLookUp(const std::string& host, const std::string& service,
                                              boost::system::error_code& error)
{
    boost::asio::io_context io;
    boost::asio::ip::tcp::resolver resolver(io);
    const auto results = resolver.resolve(host, service, boost::asio::ip::tcp::resolver::address_configured, error);
    return Tellan::OpsFileUpload::Addresses(results.begin(), results.end());
}

// Holds partial segments back while the request is written a piece at a time,
// so that its many small TLS records travel in full segments; a system
// without the option sends them as they come.
void setCork(boost::asio::ip::tcp::socket& socket, bool on)
{
    Tellan::Platform::Installed<Tellan::Platform::SocketOptions>::get().setCork(socket.native_handle(), on);
}

std::string openSslErrorText()
{
    char text[256] = "";
    if (const unsigned long code = ERR_get_error())
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

// True when one of the folders (a list, as SSL_CERT_DIR holds it) keeps
// certificates under their subject-hash names ("5ed36f99.0"), where a look-up
// finds each one when a chain needs it.
bool holdsHashNames(const std::string& folders)
{
    const auto isHashName = [](const std::string& name) {
        const std::size_t dot = name.find('.');
        return dot == 8 && name.size() > 9
               && std::all_of(name.begin(), name.begin() + 8,
                              [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })
               && std::all_of(name.begin() + 9, name.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    std::istringstream list(folders);
    for (std::string folder; std::getline(list, folder, ':');) {
        // Names only, without a look at each file: the first hash name ends it.
        boost::system::error_code error;
        for (boost::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
             entry.increment(error))
            if (isHashName(entry->path().filename().string()))
                return true;
    }
    return false;
}

// The system's authorities where the TLS library's defaults (or SSL_CERT_DIR
// and SSL_CERT_FILE) name them. The hashed folder is looked up lazily; the
// bundle file, which is parsed whole (over a hundred certificates) before
// the first handshake, is read only when SSL_CERT_FILE names it or no folder
// has hash names. As with the library's defaults, a missing folder or file
// adds nothing and is no error.
bool addSystemAuthorities(X509_STORE* store)
{
    const char* folderVariable = std::getenv(X509_get_default_cert_dir_env());
    const char* fileVariable = std::getenv(X509_get_default_cert_file_env());
    const std::string folders = folderVariable ? folderVariable : X509_get_default_cert_dir();
    X509_LOOKUP* folderLookUp = X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir());
    if (!folderLookUp)
        return false;
    if (!folders.empty())
        X509_LOOKUP_add_dir(folderLookUp, folders.c_str(), X509_FILETYPE_PEM);
    if (fileVariable || !holdsHashNames(folders)) {
        X509_LOOKUP* fileLookUp = X509_STORE_add_lookup(store, X509_LOOKUP_file());
        if (!fileLookUp)
            return false;
        X509_LOOKUP_load_file(fileLookUp, fileVariable ? fileVariable : X509_get_default_cert_file(),
                              X509_FILETYPE_PEM);
    }
    ERR_clear_error();
    return true;
}

// The trust store is made once per process (with each file of extra
// authorities asked for) and shared, reference-counted, by the TLS context of
// every upload. Never freed: an upload may still run while the process exits.
// Null, with error, when the extra authorities cannot be loaded.
X509_STORE* sharedTrustStore(const std::string& extraCaFile, std::string& error)
{
    static std::mutex* const mutex = new std::mutex();
    static std::map<std::string, X509_STORE*>* const stores = new std::map<std::string, X509_STORE*>();

    std::lock_guard<std::mutex> lock(*mutex);
    const auto found = stores->find(extraCaFile);
    if (found != stores->end())
        return found->second;
    X509_STORE* store = X509_STORE_new();
    if (!store || !addSystemAuthorities(store)
        || (!extraCaFile.empty() && X509_STORE_load_file(store, extraCaFile.c_str()) != 1)) {
        error = "trust store: " + openSslErrorText();
        X509_STORE_free(store);
        return nullptr;
    }
    stores->emplace(extraCaFile, store);
    return store;
}

} // namespace

namespace Tellan {

namespace {

// By whatever length of path; a file that is gone counts as empty.
qint64 sizeOnDisk(const QString& path)
{
    Platform::Files::Status status;
    const bool there = Platform::Installed<Platform::Files>::get().statusOf(LongPath::fromText(path), status) == 0;
    return there ? qint64(status.size) : 0;
}

} // namespace

// A look-up cannot be cancelled: it runs on a thread of its own, which hands
// its answer to the upload only while the upload still waits for it.
struct OpsFileUpload::PendingLookUp {
    std::mutex mutex;
    // Null once the upload no longer waits.
    boost::asio::io_service* ioService = nullptr;
    OpsFileUpload* upload = nullptr;

    void abandon()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ioService = nullptr;
        upload = nullptr;
    }
};

const std::chrono::milliseconds OpsFileUpload::defaultConnectBound = std::chrono::seconds(30);
const std::chrono::milliseconds OpsFileUpload::defaultProgressBound = std::chrono::seconds(60);
const std::chrono::milliseconds OpsFileUpload::defaultReplyBound = std::chrono::seconds(60);
// 128 kbit/s: a 10 MiB log may take 60 s plus 11 minutes.
const std::uint64_t OpsFileUpload::defaultRequestFloorRate = 16 * 1024;
// The service's replies are a status line, a few headers and a short text.
const std::size_t OpsFileUpload::defaultReplyByteCap = 256 * 1024;
const std::size_t OpsFileUpload::defaultPieceSize = 4096;

OpsFileUpload::Endpoint::Endpoint()
    : host(Config::uploadHost), service(Config::uploadPort), extraCaFile(Config::uploadExtraCaFile),
      connectBound(defaultConnectBound), progressBound(defaultProgressBound), replyBound(defaultReplyBound),
      requestFloorRate(defaultRequestFloorRate), replyByteCap(defaultReplyByteCap), pieceSize(defaultPieceSize)
{
}

OpsFileUpload::OpsFileUpload(const boost::shared_ptr<OpsFileInfo>& info, const std::string& deviceId,
                             ThreadBoundCallback callback)
    : OpsFileUpload(info, deviceId, std::move(callback), Endpoint())
{
}

OpsFileUpload::OpsFileUpload(const boost::shared_ptr<OpsFileInfo>& info, const std::string& deviceId,
                             ThreadBoundCallback callback, const Endpoint& endpoint)
    : ioService(1), callback(std::move(callback)), deadline(ioService),
      fileBuffer(std::max<std::size_t>(endpoint.pieceSize, 1) + 1), file(info->path), httpStatus(0), sentAmount(0),
      contentLength(0), parser(new http_parser), info(info), dsn(deviceId), completed(false), endpoint(endpoint),
      reported(false), timedOut(false), fileGrew(false), idleBounded(false), replying(false), replyBytes(0)
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
        std::string storeError;
        X509_STORE* store = sharedTrustStore(endpoint.extraCaFile, storeError);
        if (!store)
            throw boost::system::system_error(boost::asio::error::invalid_argument, storeError);
        SSL_CTX_set1_cert_store(sslContext->native_handle(), store);
        sslContext->set_verify_mode(boost::asio::ssl::verify_peer);

        socket.reset(new TlsStream(ioService, *sslContext));
        SSL* ssl = socket->native_handle();
        const char* host = endpoint.host.c_str();
        // Server name indication is for names only; an IP literal is checked
        // against the certificate's addresses.
        const bool named = !isIpLiteral(endpoint.host);
        const bool configured = named ? SSL_set_tlsext_host_name(ssl, host) == 1 && SSL_set1_host(ssl, host) == 1
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
    if (pendingLookUp)
        pendingLookUp->abandon();
    delete parser;
    // The members then close the file if it is still open, and the TCP
    // connection, with no TLS close, if Start has not already.
}

bool OpsFileUpload::Start()
{
    const qint64 size = sizeOnDisk(info->path);
    if (size < 1) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "logFileEmpty", {"path", info->path});
        return false;
    }

    preamble = createBodyPreamble(size);
    contentLength = size;
    request = createOpsRequest(info, dsn, preamble, size);
    TLOG(DEBUG, "OpsFileUpload") << "Starting file upload: URL: " << QString::fromStdString(request.url);

    if (!StartUpload())
        return false;

    ioService.run();
    // A look-up still running answers into nothing from now on.
    if (pendingLookUp)
        pendingLookUp->abandon();
    // The result is known: the connection and the TLS state go now, not when
    // the uploader makes its next upload.
    socket.reset();
    sslContext.reset();
    return true;
}

bool OpsFileUpload::StartUpload()
{
    if (!socket) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotCreateTlsContext", {"error", tlsError});
        return false;
    }
    // Never through a symbolic link, also one put at the name after the
    // file was listed.
    Platform::Files& files = Platform::Installed<Platform::Files>::get();
    const int handle = files.openForReading(LongPath::fromText(info->path));
    if (handle < 0 || !file.open(handle, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        files.closeHandle(handle);
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotOpenLogFile", {"path", info->path});
        return false;
    }
    file.seek(0);

    beginPhase(endpoint.connectBound, false);
    if (!endpoint.addresses.empty()) {
        addresses = endpoint.addresses;
        connect();
        return true;
    }

    pendingLookUp = std::make_shared<PendingLookUp>();
    pendingLookUp->ioService = &ioService;
    pendingLookUp->upload = this;
    // The thread owns copies of all it needs: it may end after the upload.
    const LookUp lookUp = endpoint.lookUp ? endpoint.lookUp : LookUp(&systemLookUp);
    try {
        std::thread([pending = pendingLookUp, lookUp, host = endpoint.host, service = endpoint.service] {
            boost::system::error_code error;
            Addresses found;
            try {
                found = lookUp(host, service, error);
            } catch (const std::exception&) {
                error = boost::asio::error::host_not_found;
            }
            std::lock_guard<std::mutex> lock(pending->mutex);
            if (!pending->ioService)
                return;
            OpsFileUpload* upload = pending->upload;
            boost::asio::post(*pending->ioService, [upload, error, found] { upload->handleResolve(error, found); });
        }).detach();
    } catch (const std::system_error& error) {
        pendingLookUp.reset();
        const boost::system::error_code failed(error.code().value(), boost::system::system_category());
        boost::asio::post(ioService, [this, failed] { handleResolve(failed, Addresses()); });
    }
    return true;
}

void OpsFileUpload::handleResolve(const boost::system::error_code& error, const Addresses& endpoints)
{
    if (reported)
        return;
    if (!error && endpoints.empty()) {
        handleResolve(boost::asio::error::host_not_found, endpoints);
        return;
    }
    if (error) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotResolveUrl", {"error", errorText(error)});
        report(-1);
        return;
    }
    addresses = endpoints;
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
    // Without it the small writes (the head, the last piece) wait for the
    // peer's delayed acknowledgement.
    Platform::Installed<Platform::SocketOptions>::get().setNoDelay(socket->lowest_layer().native_handle(), true);
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
    setCork(socket->next_layer(), true);
    head = request.headString();
    // The whole request, padding and closing space included, at the floor rate.
    const std::uint64_t requestBytes = head.size() + preamble.size() + std::uint64_t(contentLength) + 1;
    const std::uint64_t rate = std::max<std::uint64_t>(endpoint.requestFloorRate, 1);
    const auto transfer =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(requestBytes) / double(rate)));
    beginPhase(endpoint.progressBound + transfer, true);
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
    const qint64 wanted = std::min<qint64>(qint64(fileBuffer.size() - 1), contentLength - sentAmount);
    const qint64 read = file.read(fileBuffer.data(), wanted);
    if (read <= 0) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotProperlyReadLogFile", {"path", info->path});
        report(-1);
        return;
    }
    TLOG(DEBUG, "OpsFileUpload") << "send " << read << " bytes, total:" << file.pos() << " bytes.\n";
    sentAmount += read;

    const bool announcedSent = sentAmount == contentLength;
    if (!file.atEnd() && !announcedSent) {
        writeAll(fileBuffer.data(), std::size_t(read),
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
                   {"sentAmount", quint64(sentAmount)}, {"fileSize", quint64(sizeOnDisk(info->path))});
    }
    fileBuffer[std::size_t(read)] = ' ';
    file.close();
    writeAll(fileBuffer.data(), std::size_t(read) + 1,
             boost::bind(&OpsFileUpload::readResponse, this, boost::asio::placeholders::error,
                         boost::asio::placeholders::bytes_transferred));
}

void OpsFileUpload::readResponse(const boost::system::error_code& error, std::size_t)
{
    if (!error && sentAmount < contentLength) {
        if (padding.empty())
            TLOG_EVENT(ERROR, "OpsFileUpload", "sentDataContentLengthMisMatch",
                       {"contentLength", quint64(contentLength)}, {"sentAmount", quint64(sentAmount)});
        // The file shrank: spaces make up the missing bytes, so that the body
        // still has the length its head announced; a piece at a time, since
        // the shortfall may be most of a large file.
        padding.assign(std::size_t(std::min<qint64>(qint64(fileBuffer.size() - 1), contentLength - sentAmount)), ' ');
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
    // The request is out: the reply's own bound starts, a total one, since
    // a reply dripped a byte at a time makes progress all along.
    if (!replying) {
        replying = true;
        setCork(socket->next_layer(), false);
        beginPhase(endpoint.replyBound, false);
    }
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
    replyBytes += bytesTransferred;

    const std::size_t parsed = http_parser_execute(parser, &parserSettings, responseBuffer, bytesTransferred);
    // The read that completed a final reply ends the exchange, with the
    // status of the last one it held. A grown file must stay queued, whatever
    // the server answered: the queue goes by the status, which stays 0.
    if (completed)
        report(fileGrew ? -1 : 0);
    if (parsed < bytesTransferred) {
        report(-1);
        TLOG_EVENT(ERROR, "OpsFileUpload", "httpParsedMismatch", {"httpParsed", int(parsed)},
                   {"httpRead", int(bytesTransferred)});
        return;
    }
    if (completed)
        return;
    // A reply that goes on past any sane size is not read for ever.
    if (replyBytes >= endpoint.replyByteCap) {
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotReadServerResponse",
                   {"error", errorText(boost::asio::error::message_size)});
        report(-1);
        return;
    }
    readResponse(boost::system::error_code(), bytesTransferred);
}

int OpsFileUpload::onMessageComplete(http_parser* parser)
{
    OpsFileUpload* self = static_cast<OpsFileUpload*>(parser->data);
    // An interim reply ("100 Continue", "103 Early Hints") is followed by the
    // final one. A second final reply in the same read takes the place of the
    // first: the result is reported once the read is parsed.
    if (parser->status_code < 200)
        return 0;
    self->completed = true;
    if (!self->fileGrew)
        self->httpStatus = int(parser->status_code);
    return 0;
}

template <typename Handler>
void OpsFileUpload::writeAll(const char* data, std::size_t size, Handler handler)
{
    // Progress is stamped after each piece of a large write and at the end
    // of every write.
    boost::asio::async_write(
        *socket, boost::asio::buffer(data, size),
        [this](const boost::system::error_code& error, std::size_t transferred) -> std::size_t {
            if (!error && transferred > 0)
                lastProgress = Clock::now();
            return boost::asio::transfer_all()(error, transferred);
        },
        [this, handler](const boost::system::error_code& error, std::size_t transferred) mutable {
            if (!error)
                lastProgress = Clock::now();
            handler(error, transferred);
        });
}

void OpsFileUpload::beginPhase(Clock::duration total, bool idle)
{
    const Clock::time_point now = Clock::now();
    phaseEnd = now + total;
    idleBounded = idle;
    lastProgress = now;
    const Clock::time_point next = idle ? std::min(phaseEnd, now + endpoint.progressBound) : phaseEnd;
    // One wait is pending at a time; it is moved only when it would come too late.
    if (deadline.expiry() == Clock::time_point() || deadline.expiry() > next)
        waitUntil(next);
}

void OpsFileUpload::waitUntil(Clock::time_point when)
{
    deadline.expires_at(when);
    deadline.async_wait(boost::bind(&OpsFileUpload::handleDeadline, this, boost::asio::placeholders::error));
}

void OpsFileUpload::handleDeadline(const boost::system::error_code& error)
{
    // A wait that was moved, or one that ran out just as the exchange ended,
    // stops nothing.
    if (error == boost::asio::error::operation_aborted || reported)
        return;
    const Clock::time_point now = Clock::now();
    const Clock::time_point idleEnd = idleBounded ? lastProgress + endpoint.progressBound : Clock::time_point::max();
    const Clock::time_point next = std::min(phaseEnd, idleEnd);
    if (now < next) {
        waitUntil(next);
        return;
    }
    timeOut();
}

void OpsFileUpload::timeOut()
{
    timedOut = true;
    if (pendingLookUp && !reported && addresses.empty()) {
        // Nothing to close: the look-up goes on alone and its answer is dropped.
        pendingLookUp->abandon();
        TLOG_EVENT(ERROR, "OpsFileUpload", "cannotResolveUrl", {"error", errorText(boost::asio::error::timed_out)});
        report(-1);
        return;
    }
    // The pending step ends with an error, and its handler reports.
    boost::system::error_code ignored;
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
