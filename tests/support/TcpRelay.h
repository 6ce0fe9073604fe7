#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <string>

namespace TestSupport {

// A TCP relay on 127.0.0.1 in front of a server, for what a scripted server
// cannot do on its own: act at the moment a client connects, stop reading the
// client, never answer at all, and show the client's first bytes (the TLS
// ClientHello).
//
// Connections are served on the relay's own thread; every method may be
// called from any thread.
class TcpRelay {
public:
    struct Options {
        // The server on 127.0.0.1; 0: accept, then neither read nor answer.
        unsigned short targetPort = 0;
        // Runs on the relay's thread when a client has connected, before any
        // of its bytes are read or forwarded.
        std::function<void()> onAccept;
        // Bytes read from a client and forwarded; then it is no longer read,
        // so that its writes stall once the socket buffers are full.
        std::size_t clientByteLimit = std::numeric_limits<std::size_t>::max();
    };

    explicit TcpRelay(const Options& options);
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    unsigned short port() const;
    // Every byte read from clients so far, in order.
    std::string clientBytes() const;
    std::size_t connectionCount() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace TestSupport
