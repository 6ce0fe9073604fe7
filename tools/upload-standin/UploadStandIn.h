// A local HTTPS stand-in for the device-event upload service: records every request it receives, byte for
// byte and TLS record by TLS record, and answers each one as a test scripts it, well or badly.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace StandIn {

enum class Behaviour {
    Status, // a well-framed reply with `status` (Content-Length: 0 or a small body)
    SplitReply, // the same reply written in several small writes with pauses
    TrailingBytes, // a complete reply followed by extra bytes on the connection
    TlsCloseBeforeReply, // TLS close_notify, then close, before any reply
    DropWithoutClose, // close the TCP socket without TLS close, no reply
    CloseFramed, // status line + headers without Content-Length, body, then close
    Stall, // never answer; keep the connection open until the server is destroyed
    Interim, // "100 Continue" and "103 Early Hints", each in its own write, then the `status` reply
    NotHttp, // a reply that is no HTTP at all
    Drip, // a reply with a long body, one byte per write, 20 ms apart, until the connection ends
    Endless, // a reply announcing a body of 1 TB, sent at full speed until the connection ends
    TwoReplies, // the `status` reply and the `secondStatus` reply in one write, so the client reads them at once
    SecondReplyLater, // the `status` reply, then the `secondStatus` reply in a write (a TLS record) of its own
};

struct Reply {
    Behaviour behaviour = Behaviour::Status;
    int status = 200;
    int secondStatus = 500; // for TwoReplies and SecondReplyLater
};

struct ReceivedRequest {
    std::string bytes; // the exact request bytes: head + body as received
    std::vector<std::size_t> tlsRecordSizes; // plaintext size of each TLS application-data record read
    bool complete = false; // head parsed and Content-Length bytes of body received
    std::string bytesAfterBody; // anything the client sent past the announced body
};

// Called on the server's thread once per request: when its body is complete, just before the reply goes
// out, or when its connection ends before that (then `complete` is false).
using RequestObserver = std::function<void(std::size_t index, const ReceivedRequest& request, const Reply& reply)>;

struct Options {
    std::string certificateFile, privateKeyFile; // PEM
    std::string address = "127.0.0.1"; // a loopback address; any other is refused
    unsigned short port = 0;
    RequestObserver onRequest; // optional
};

// Every connection carries one request: the upload client never reuses a connection. A request's head ends
// at its first empty line ("\r\n\r\n", or "\r\n\n" as the upload client writes it); Content-Length bytes of
// body follow (none without the header). A request is recorded from its first byte, so one whose peer closes
// early is kept with `complete` false. After a reply the connection stays open and is still read, except for
// the behaviours that close it.
//
// All methods may be called from any thread; the connections are served on the server's own thread.
class Server {
public:
    // Listening on its own thread when the constructor returns; throws on failure, and for an address that is
    // not a loopback one (its keys are throw-away).
    explicit Server(const Options& options);
    ~Server(); // stops, closes every connection, joins its thread
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    unsigned short port() const;
    // Reply i goes to the i-th request; requests past the list get `afterwards`.
    void setReplies(std::vector<Reply> perRequest, Reply afterwards = Reply{});
    std::vector<ReceivedRequest> requests() const;
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const; // complete requests
    // TCP connections accepted so far, also those that never completed a TLS handshake or sent a byte.
    std::size_t connectionCount() const;
    // Waits until this many connections have ended, by the peer or by the server.
    bool waitForClosedConnections(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

// The exact bytes of the interim replies that `Interim` sends before its final one.
std::string interimReplies();

// The exact bytes of the reply that `Status` sends for a status code: the status line, then
// "Content-Length: 0" and the empty line for 200; an interim (1xx) code has the empty line alone; other
// codes carry a short text body.
std::string statusReply(int status);

struct TestCertificates {
    std::string caFile, certificateFile, privateKeyFile;
};
// A throw-away certificate authority and a server certificate signed by it, written as PEM files into
// `directory`, with the given DNS names and IP addresses as subjectAltNames. Made with the OpenSSL API at
// run time (nothing secret is committed). Valid from now-1h to now+1d.
// The files are "ca.pem", "server-cert.pem" and "server-key.pem"; the key of the authority is not kept.
TestCertificates makeTestCertificates(const std::string& directory, const std::vector<std::string>& dnsNames,
                                      const std::vector<std::string>& ipAddresses);

} // namespace StandIn
