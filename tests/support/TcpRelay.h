#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <string>

namespace TestSupport {

// A TCP relay on 127.0.0.1 in front of a server, for what a scripted server
// cannot do on its own: act at the moment a client connects or has sent so
// many bytes, read the client slowly, stop reading it or cut it off, never
// answer at all, and show the client's first bytes (the TLS ClientHello).
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
        // Once this many client bytes are forwarded, both connections are
        // reset: the client's next write or read fails.
        std::size_t cutAfterClientBytes = std::numeric_limits<std::size_t>::max();
        // Runs once on the relay's thread when the client bytes forwarded
        // reach `clientBytesSeen`, before any more are read.
        std::size_t clientBytesSeen = std::numeric_limits<std::size_t>::max();
        std::function<void()> onClientBytes;
        // Client bytes are read no faster than this; 0: as fast as they come.
        std::size_t clientBytesPerSecond = 0;
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
