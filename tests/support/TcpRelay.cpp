#include "TcpRelay.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <list>
#include <mutex>
#include <thread>

namespace TestSupport {

using boost::asio::ip::tcp;
using boost::system::error_code;

namespace {

// One client and, unless the relay never answers, its upstream connection.
struct Link : std::enable_shared_from_this<Link> {
    explicit Link(boost::asio::io_context& io) : client(io), server(io), pause(io) {}

    void close()
    {
        error_code ignored;
        pause.cancel();
        client.close(ignored);
        server.close(ignored);
    }

    // Closes with a reset instead of an orderly end.
    void reset()
    {
        error_code ignored;
        client.set_option(boost::asio::socket_base::linger(true, 0), ignored);
        server.set_option(boost::asio::socket_base::linger(true, 0), ignored);
        close();
    }

    tcp::socket client;
    tcp::socket server;
    boost::asio::steady_timer pause;
    std::array<char, 16384> fromClient;
    std::array<char, 16384> fromServer;
    std::size_t forwarded = 0;
};

} // namespace

class TcpRelay::Impl {
public:
    explicit Impl(const Options& options)
        : options(options), acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0))
    {
        port = acceptor.local_endpoint().port();
        accept();
        thread = std::thread([this] { io.run(); });
    }

    ~Impl()
    {
        boost::asio::post(io, [this] {
            error_code ignored;
            acceptor.close(ignored);
            for (const auto& link : links)
                link->close();
        });
        thread.join();
    }

    void accept()
    {
        auto link = std::make_shared<Link>(io);
        acceptor.async_accept(link->client, [this, link](const error_code& error) {
            if (error)
                return;
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++connections;
            }
            links.push_back(link);
            if (options.onAccept)
                options.onAccept();
            if (options.targetPort != 0) {
                error_code failed;
                link->server.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), options.targetPort),
                                     failed);
                if (failed) {
                    link->close();
                } else {
                    pump(link, true);
                    pump(link, false);
                }
            }
            accept();
        });
    }

    // Forwards one direction a read at a time; only the client's bytes are
    // limited and recorded.
    void pump(const std::shared_ptr<Link>& link, bool fromClient)
    {
        tcp::socket& source = fromClient ? link->client : link->server;
        tcp::socket& target = fromClient ? link->server : link->client;
        std::array<char, 16384>& buffer = fromClient ? link->fromClient : link->fromServer;
        std::size_t room = buffer.size();
        if (fromClient) {
            room = std::min(room, options.clientByteLimit - link->forwarded);
            if (options.clientBytesPerSecond != 0)
                room = std::min<std::size_t>(room, 4096);
        }
        if (room == 0)
            return;
        source.async_read_some(
            boost::asio::buffer(buffer.data(), room), [=, &target, &buffer](const error_code& error, std::size_t size) {
                if (error) {
                    link->close();
                    return;
                }
                if (fromClient) {
                    const std::size_t before = link->forwarded;
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        seen.append(buffer.data(), size);
                        link->forwarded += size;
                    }
                    if (before < options.clientBytesSeen && link->forwarded >= options.clientBytesSeen
                        && options.onClientBytes)
                        options.onClientBytes();
                }
                boost::asio::async_write(
                    target, boost::asio::buffer(buffer.data(), size), [=](const error_code& failed, std::size_t) {
                        if (failed) {
                            link->close();
                        } else if (fromClient && link->forwarded >= options.cutAfterClientBytes) {
                            link->reset();
                        } else if (fromClient && options.clientBytesPerSecond != 0) {
                            link->pause.expires_after(
                                std::chrono::microseconds(size * 1000000 / options.clientBytesPerSecond));
                            link->pause.async_wait([=](const error_code& stopped) {
                                if (!stopped)
                                    pump(link, fromClient);
                            });
                        } else {
                            pump(link, fromClient);
                        }
                    });
            });
    }

    const Options options;
    boost::asio::io_context io;
    tcp::acceptor acceptor;
    std::list<std::shared_ptr<Link>> links; // relay thread only
    mutable std::mutex mutex;
    std::string seen;
    std::size_t connections = 0;
    unsigned short port = 0;
    std::thread thread;
};

TcpRelay::TcpRelay(const Options& options) : impl(new Impl(options)) {}

TcpRelay::~TcpRelay() = default;

unsigned short TcpRelay::port() const { return impl->port; }

std::string TcpRelay::clientBytes() const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->seen;
}

std::size_t TcpRelay::connectionCount() const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->connections;
}

} // namespace TestSupport
