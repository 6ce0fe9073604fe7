#include "UploadStandIn.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

#include <openssl/ssl.h>

namespace StandIn {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using boost::asio::ip::tcp;
using boost::system::error_code;

std::string interimReplies();

namespace {

const char* reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 103: return "Early Hints";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

std::string statusLine(int status)
{
    return "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
}

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// What the head says about the body. A Content-Length that is not a plain decimal number leaves the request
// unframed: it is recorded as it arrives and never answered.
struct HeadFacts {
    std::optional<std::size_t> bodyLength = std::size_t{0};
    bool expectsContinue = false;
};

HeadFacts readHead(const std::string& head)
{
    HeadFacts facts;
    std::size_t lineStart = head.find('\n');
    while (lineStart != std::string::npos && lineStart + 1 < head.size()) {
        const std::size_t lineEnd = head.find('\n', lineStart + 1);
        const std::string line = head.substr(lineStart + 1, lineEnd - lineStart - 1);
        lineStart = lineEnd;
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = lowerCase(trimmed(line.substr(0, colon)));
        const std::string value = trimmed(line.substr(colon + 1));
        if (name == "content-length") {
            const bool digits =
                !value.empty() && value.size() <= 18
                && std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); });
            facts.bodyLength = digits ? std::optional<std::size_t>(std::stoull(value)) : std::nullopt;
        } else if (name == "expect" && lowerCase(value) == "100-continue") {
            facts.expectsContinue = true;
        }
    }
    return facts;
}

// The end of the head: just past the line feed of its first empty line, or npos while there is none.
std::size_t headEnd(const std::string& bytes, std::size_t from)
{
    for (std::size_t i = bytes.find('\n', from); i != std::string::npos; i = bytes.find('\n', i + 1)) {
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
            return i + 2;
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n')
            return i + 3;
    }
    return std::string::npos;
}

// The requests of every connection and the scripted replies, shared by the server's thread and the test.
class Ledger {
public:
    struct Progress {
        bool completed = false; // this piece completed the request
        bool continueWanted = false; // this piece completed a head that asks for "100 Continue"
    };

    explicit Ledger(RequestObserver observer) : observer(std::move(observer)) {}

    void countConnection()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++connections;
    }

    std::size_t openRequest()
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.emplace_back();
        return entries.size() - 1;
    }

    Progress add(std::size_t index, const char* data, std::size_t size)
    {
        Progress progress;
        std::optional<ReceivedRequest> observed;
        Reply reply;
        {
            std::lock_guard<std::mutex> lock(mutex);
            Entry& entry = entries[index];
            ReceivedRequest& request = entry.request;
            request.tlsRecordSizes.push_back(size);
            if (entry.framedSize) {
                const std::size_t taken = std::min(*entry.framedSize - request.bytes.size(), size);
                request.bytes.append(data, taken);
                request.bytesAfterBody.append(data + taken, size - taken);
            } else {
                const std::size_t scanFrom = request.bytes.size() >= 2 ? request.bytes.size() - 2 : 0;
                request.bytes.append(data, size);
                if (entry.bodyStart == std::string::npos) {
                    entry.bodyStart = headEnd(request.bytes, scanFrom);
                    if (entry.bodyStart != std::string::npos) {
                        const HeadFacts facts = readHead(request.bytes.substr(0, entry.bodyStart));
                        if (facts.bodyLength) {
                            entry.framedSize = entry.bodyStart + *facts.bodyLength;
                            // Growing a large body piece by piece costs more than the TLS itself.
                            request.bytes.reserve(std::min<std::size_t>(*entry.framedSize, std::size_t(1) << 30));
                        }
                        progress.continueWanted = facts.expectsContinue;
                    }
                }
                // Bytes that came in the same record past the body belong to no request.
                if (entry.framedSize && request.bytes.size() > *entry.framedSize) {
                    request.bytesAfterBody = request.bytes.substr(*entry.framedSize);
                    request.bytes.resize(*entry.framedSize);
                }
            }
            if (!request.complete && entry.framedSize && request.bytes.size() == *entry.framedSize) {
                request.complete = true;
                progress.completed = true;
                progress.continueWanted = false;
                reply = replyFor(index);
                entry.reported = true;
                if (observer)
                    observed = request;
            }
        }
        if (progress.completed)
            changed.notify_all();
        if (observed)
            observer(index, *observed, reply);
        return progress;
    }

    // The connection of the request ended; an unfinished request is reported once as it stands.
    void end(std::size_t index)
    {
        std::optional<ReceivedRequest> observed;
        Reply reply;
        {
            std::lock_guard<std::mutex> lock(mutex);
            Entry& entry = entries[index];
            if (entry.reported)
                return;
            entry.reported = true;
            reply = replyFor(index);
            if (observer)
                observed = entry.request;
        }
        if (observed)
            observer(index, *observed, reply);
    }

    Reply replyFor(std::size_t index) const { return index < perRequest.size() ? perRequest[index] : afterwards; }

    Reply replyOf(std::size_t index) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return replyFor(index);
    }

    void setReplies(std::vector<Reply> replies, Reply after)
    {
        std::lock_guard<std::mutex> lock(mutex);
        perRequest = std::move(replies);
        afterwards = after;
    }

    std::vector<ReceivedRequest> requests() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<ReceivedRequest> result;
        result.reserve(entries.size());
        for (const Entry& entry : entries)
            result.push_back(entry.request);
        return result;
    }

    bool waitForComplete(std::size_t count, std::chrono::milliseconds timeout) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            return std::size_t(
                       std::count_if(entries.begin(), entries.end(), [](const Entry& e) { return e.request.complete; }))
                   >= count;
        });
    }

    std::size_t connectionCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return connections;
    }

    void countClosed()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++closedConnections;
        changed.notify_all();
    }

    bool waitForClosed(std::size_t count, std::chrono::milliseconds timeout) const
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return closedConnections >= count; });
    }

private:
    struct Entry {
        ReceivedRequest request;
        std::size_t bodyStart = std::string::npos;
        std::optional<std::size_t> framedSize; // head + announced body, once the head is known
        bool reported = false;
    };

    const RequestObserver observer;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Entry> entries;
    std::vector<Reply> perRequest;
    Reply afterwards;
    std::size_t connections = 0;
    std::size_t closedConnections = 0;
};

// One accepted connection, served on the server's thread. Pending operations keep it alive.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(asio::io_context& io, ssl::context& tls, Ledger& ledger) : stream(io, tls), pause(io), ledger(ledger) {}

    tcp::socket& socket() { return stream.next_layer(); }

    void start()
    {
        stream.async_handshake(ssl::stream_base::server, [self = shared_from_this()](const error_code& error) {
            if (!error && !self->closed)
                self->read();
            else
                self->close();
        });
    }

    // Closes the TCP connection, with no TLS close, and ends whatever is pending.
    void close()
    {
        if (closed)
            return;
        closed = true;
        ledger.countClosed();
        error_code ignored;
        pause.cancel();
        socket().close(ignored);
    }

private:
    void read()
    {
        stream.async_read_some(
            asio::buffer(buffer),
            [self = shared_from_this()](const error_code& error, std::size_t size) { self->onRead(error, size); });
    }

    void onRead(const error_code& error, std::size_t size)
    {
        if (size > 0 && !closed) {
            if (!index)
                index = ledger.openRequest();
            const Ledger::Progress progress = ledger.add(*index, buffer.data(), size);
            if (progress.continueWanted)
                write(statusLine(100) + "\r\n", [] {});
            if (progress.completed && !answer(ledger.replyOf(*index)))
                return;
        }
        if (error || closed) {
            if (index)
                ledger.end(*index);
            close();
            return;
        }
        read();
    }

    // Starts the reply; returns whether the connection is still to be read.
    bool answer(const Reply& reply)
    {
        switch (reply.behaviour) {
        case Behaviour::Status: write(statusReply(reply.status), [] {}); return true;
        case Behaviour::SplitReply: {
            const std::string whole = statusReply(reply.status);
            const std::size_t piece = (whole.size() + 3) / 4;
            auto pieces = std::make_shared<std::vector<std::string>>();
            for (std::size_t at = 0; at < whole.size(); at += piece)
                pieces->push_back(whole.substr(at, piece));
            writePieces(pieces, 0);
            return true;
        }
        case Behaviour::TrailingBytes:
            // One write, so that the extra bytes reach the client in the same read as the reply.
            write(statusReply(reply.status) + "unexpected bytes after the reply\r\n", [] {});
            return true;
        case Behaviour::TlsCloseBeforeReply: closeTls(); return false;
        case Behaviour::DropWithoutClose: close(); return false;
        case Behaviour::CloseFramed:
            write(statusLine(reply.status) + "Content-Type: text/plain\r\nConnection: close\r\n\r\n"
                      + reasonPhrase(reply.status) + "\n",
                  [self = shared_from_this()] { self->closeTls(); });
            return false;
        case Behaviour::Stall: return true;
        case Behaviour::Interim:
            write(statusLine(100) + "\r\n", [] {});
            write(interimReplies().substr(statusLine(100).size() + 2), [] {});
            write(statusReply(reply.status), [] {});
            return true;
        case Behaviour::NotHttp: write("SSH-2.0-OpenSSH_9.2\r\n", [] {}); return true;
        case Behaviour::TwoReplies:
            write(statusReply(reply.status) + statusReply(reply.secondStatus), [] {});
            return true;
        case Behaviour::SecondReplyLater:
            write(statusReply(reply.status), [] {});
            write(statusReply(reply.secondStatus), [] {});
            return true;
        case Behaviour::Drip:
            drip(std::make_shared<std::string>(statusLine(reply.status) + "Content-Length: 100000\r\n\r\n"), 0);
            return true;
        case Behaviour::Endless:
            write(statusLine(reply.status) + "Content-Length: 1000000000000\r\n\r\n", [] {});
            flood(std::make_shared<std::string>(16384, 'x'));
            return true;
        }
        return true;
    }

    // One byte at a time: the head, then body bytes for as long as the connection lasts.
    void drip(std::shared_ptr<std::string> head, std::size_t next)
    {
        write(next < head->size() ? std::string(1, (*head)[next]) : std::string("x"),
              [self = shared_from_this(), head, next] {
                  self->pause.expires_after(std::chrono::milliseconds(20));
                  self->pause.async_wait([self, head, next](const error_code& error) {
                      if (!error && !self->closed)
                          self->drip(head, next + 1);
                  });
              });
    }

    void flood(std::shared_ptr<std::string> block)
    {
        write(*block, [self = shared_from_this(), block] {
            if (!self->closed)
                self->flood(block);
        });
    }

    void writePieces(std::shared_ptr<std::vector<std::string>> pieces, std::size_t next)
    {
        if (next == pieces->size())
            return;
        write((*pieces)[next], [self = shared_from_this(), pieces, next] {
            self->pause.expires_after(std::chrono::milliseconds(20));
            self->pause.async_wait([self, pieces, next](const error_code& error) {
                if (!error && !self->closed)
                    self->writePieces(pieces, next + 1);
            });
        });
    }

    // Writes are queued, so that an interim "100 Continue" and a reply never overlap on the stream.
    void write(std::string bytes, std::function<void()> then)
    {
        outbox.push_back({std::move(bytes), std::move(then)});
        if (outbox.size() == 1)
            writeFront();
    }

    void writeFront()
    {
        asio::async_write(stream, asio::buffer(outbox.front().bytes),
                          [self = shared_from_this()](const error_code& error, std::size_t) {
                              if (error || self->closed) {
                                  self->close();
                                  // What waits to go out holds the connection: let it go.
                                  self->outbox.clear();
                                  return;
                              }
                              const std::function<void()> then = std::move(self->outbox.front().then);
                              self->outbox.pop_front();
                              if (!self->outbox.empty())
                                  self->writeFront();
                              then();
                          });
    }

    // Sends close_notify and closes at once: the client never answers with its own close_notify, so the
    // shutdown is told that it already came instead of waiting for it.
    void closeTls()
    {
        if (closed)
            return;
        SSL_set_shutdown(stream.native_handle(), SSL_RECEIVED_SHUTDOWN);
        stream.async_shutdown([self = shared_from_this()](const error_code&) { self->close(); });
    }

    struct Outgoing {
        std::string bytes;
        std::function<void()> then;
    };

    ssl::stream<tcp::socket> stream;
    asio::steady_timer pause;
    Ledger& ledger;
    // Larger than a TLS record's plaintext, so that each read returns exactly one record.
    std::array<char, 16384 + 1024> buffer;
    std::optional<std::size_t> index;
    std::list<Outgoing> outbox;
    bool closed = false;
};

} // namespace

class Server::Impl {
public:
    explicit Impl(const Options& options) : ledger(options.onRequest)
    {
        tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3);
        tls.use_certificate_chain_file(options.certificateFile);
        tls.use_private_key_file(options.privateKeyFile, ssl::context::pem);

        const asio::ip::address address = asio::ip::make_address(options.address);
        const bool loopback = address.is_loopback()
                              || (address.is_v6() && address.to_v6().is_v4_mapped()
                                  && asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).is_loopback());
        if (!loopback)
            throw std::invalid_argument("the stand-in listens only on a loopback address, not on " + options.address);
        const tcp::endpoint endpoint(address, options.port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen();
        port = acceptor.local_endpoint().port();

        accept();
        thread = std::thread([this] { io.run(); });
    }

    ~Impl()
    {
        asio::post(io, [this] {
            error_code ignored;
            acceptor.close(ignored);
            for (const auto& weak : live)
                if (const auto connection = weak.lock())
                    connection->close();
        });
        thread.join();
    }

    void accept()
    {
        auto connection = std::make_shared<Connection>(io, tls, ledger);
        acceptor.async_accept(connection->socket(), [this, connection](const error_code& error) {
            if (error)
                return;
            ledger.countConnection();
            // Replies go out at once, not after the client's delayed acknowledgement.
            error_code ignored;
            connection->socket().set_option(tcp::no_delay(true), ignored);
            live.remove_if([](const std::weak_ptr<Connection>& weak) { return weak.expired(); });
            live.push_back(connection);
            connection->start();
            accept();
        });
    }

    Ledger ledger;
    asio::io_context io;
    ssl::context tls{ssl::context::tls_server};
    tcp::acceptor acceptor{io};
    std::list<std::weak_ptr<Connection>> live; // server thread only
    unsigned short port = 0;
    std::thread thread;
};

Server::Server(const Options& options) : impl(std::make_unique<Impl>(options)) {}

Server::~Server() = default;

unsigned short Server::port() const { return impl->port; }

void Server::setReplies(std::vector<Reply> perRequest, Reply afterwards)
{
    impl->ledger.setReplies(std::move(perRequest), afterwards);
}

std::vector<ReceivedRequest> Server::requests() const { return impl->ledger.requests(); }

bool Server::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    return impl->ledger.waitForComplete(count, timeout);
}

std::size_t Server::connectionCount() const { return impl->ledger.connectionCount(); }

bool Server::waitForClosedConnections(std::size_t count, std::chrono::milliseconds timeout) const
{
    return impl->ledger.waitForClosed(count, timeout);
}

std::string interimReplies()
{
    return statusLine(100) + "\r\n" + statusLine(103) + "Link: </style.css>; rel=preload\r\n\r\n";
}

std::string statusReply(int status)
{
    if (status == 200)
        return statusLine(status) + "Content-Length: 0\r\n\r\n";
    if (status < 200)
        return statusLine(status) + "\r\n";
    const std::string body = std::string(reasonPhrase(status)) + "\n";
    return statusLine(status) + "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size())
           + "\r\n\r\n" + body;
}

} // namespace StandIn
