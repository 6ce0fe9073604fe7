#pragma once

#include "OpsFileInfo.h"
#include "OpsRequest.h"
#include "ThreadBoundCallback.h"

#include <QFile>
#include <QString>
#include <QtGlobal>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>

#include <http_parser.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Tellan {

// One attempt to send one queued file to the device-event upload service: one
// HTTP/1.1 POST over TLS, one connection, one result.
//
// Start runs the whole exchange on the calling thread (in the helper the File
// Upload thread) and returns when it is over; every completion handler runs
// inside it. An upload whose Start returns true has reported exactly one
// result through its callback, posted to the callback's pool: 0 when a whole
// final reply was parsed (its status is then in httpStatus), -1 when the
// exchange failed or the file grew while it was sent (httpStatus then stays
// 0). Every step is bounded in time, each phase also in total (see Endpoint),
// and the server must prove its identity for the host name the upload
// connects to.
//
// Not copied; used once: constructed, Start called once, destroyed after
// Start has returned.
class OpsFileUpload {
public:
    typedef std::vector<boost::asio::ip::tcp::endpoint> Addresses;
    // A blocking name look-up: the addresses of host for service, or error.
    typedef std::function<Addresses(const std::string& host, const std::string& service,
                                    boost::system::error_code& error)>
        LookUp;

    static const std::chrono::milliseconds defaultConnectBound;
    static const std::chrono::milliseconds defaultProgressBound;
    static const std::chrono::milliseconds defaultReplyBound;
    static const std::uint64_t defaultRequestFloorRate;
    static const std::size_t defaultReplyByteCap;
    static const std::size_t defaultPieceSize;

    // Where an upload connects and how long it waits. The default is the
    // helper's own: the compiled-in upload host and port, the compiled-in extra
    // certificate authorities and the default bounds.
    struct Endpoint {
        Endpoint();

        // Resolved, checked against the server's certificate and, unless it
        // is an IP literal, sent as the TLS server name.
        std::string host;
        // A service name or a port number.
        std::string service;
        // A PEM file of authorities trusted besides the system's; empty: none.
        std::string extraCaFile;
        // Resolve, connect and TLS handshake together.
        std::chrono::milliseconds connectBound;
        // Each write of the request that makes no progress.
        std::chrono::milliseconds progressBound;
        // The reply in all, from the end of the request to its last byte.
        std::chrono::milliseconds replyBound;
        // The request in all may take progressBound plus its size at this
        // rate (bytes per second): a slow link passes, a trickle does not.
        std::uint64_t requestFloorRate;
        // Reply bytes read at most before the reply is given up.
        std::size_t replyByteCap;
        // File bytes read and written at a time, and padding bytes per write;
        // other sizes only to measure what the default costs.
        std::size_t pieceSize;
        // For tests: the addresses to connect to, in this order, instead of
        // resolving host.
        Addresses addresses;
        // For tests: the name look-up; empty: the system's resolver.
        LookUp lookUp;
    };

    OpsFileUpload(const boost::shared_ptr<OpsFileInfo>& info, const std::string& deviceId,
                  ThreadBoundCallback callback);
    OpsFileUpload(const boost::shared_ptr<OpsFileInfo>& info, const std::string& deviceId, ThreadBoundCallback callback,
                  const Endpoint& endpoint);
    ~OpsFileUpload();

    OpsFileUpload(const OpsFileUpload&) = delete;
    OpsFileUpload& operator=(const OpsFileUpload&) = delete;

    // True when the exchange ran to its end and its result was reported;
    // false when it could not start (an empty or unreadable file, no TLS
    // context), and then nothing is reported.
    bool Start();

private:
    typedef boost::asio::ssl::stream<boost::asio::ip::tcp::socket> TlsStream;
    typedef std::chrono::steady_clock Clock;
    struct PendingLookUp;

    static const std::size_t replyPieceSize = 4096;

    bool StartUpload();
    void connect();

    void handleResolve(const boost::system::error_code& error, const Addresses& endpoints);
    void handleConnect(const boost::system::error_code& error, Addresses::const_iterator endpoint);
    void handleHandshake(const boost::system::error_code& error);
    void handleLogHeader(const boost::system::error_code& error);
    void handleWriteFile(const boost::system::error_code& error, std::size_t bytesTransferred);
    void readResponse(const boost::system::error_code& error, std::size_t bytesTransferred);
    void handleReadResponse(const boost::system::error_code& error, std::size_t bytesTransferred);
    void handleDeadline(const boost::system::error_code& error);
    static int onMessageComplete(http_parser* parser);

    // Writes all of data; each piece that goes out counts as progress.
    template <typename Handler>
    void writeAll(const char* data, std::size_t size, Handler handler);
    // A phase of the exchange (connecting, the request, the reply) lasts
    // `total` at most and, when `idle`, ends once no progress was made for
    // the progress bound.
    void beginPhase(Clock::duration total, bool idle);
    void waitUntil(Clock::time_point when);
    void timeOut();
    void report(int result);
    QString errorText(const boost::system::error_code& error) const;

    boost::asio::io_service ioService;
    // Null when the TLS library could not make the context; Start then fails.
    std::unique_ptr<boost::asio::ssl::context> sslContext;
    ThreadBoundCallback callback;
    std::unique_ptr<TlsStream> socket;
    boost::asio::steady_timer deadline;
    char responseBuffer[replyPieceSize];
    // One more byte than a read of the file takes: room for the closing space.
    std::vector<char> fileBuffer;
    QFile file;

public:
    // Read by the uploader once the result has arrived.
    int httpStatus;

private:
    qint64 sentAmount;
    qint64 contentLength;
    http_parser_settings parserSettings;
    http_parser* parser;

public:
    // Read by the uploader once the result has arrived.
    boost::shared_ptr<OpsFileInfo> info;

private:
    std::string preamble;
    OpsRequest request;
    std::string dsn;
    bool completed;

    Endpoint endpoint;
    Addresses addresses;
    // Buffers of writes in flight, kept until their completion.
    std::string head;
    std::string padding;
    QString tlsError;
    bool reported;
    bool timedOut;
    bool fileGrew;

    // Shared with a look-up thread that may outlive the upload.
    std::shared_ptr<PendingLookUp> pendingLookUp;
    // The one pending wait of `deadline` moves itself on to the next moment
    // a bound could run out; progress only stamps its time.
    Clock::time_point phaseEnd;
    Clock::time_point lastProgress;
    bool idleBounded;
    bool replying;
    std::size_t replyBytes;
};

} // namespace Tellan
