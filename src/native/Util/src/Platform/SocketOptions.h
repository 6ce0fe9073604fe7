#pragma once

#include <cstdint>

namespace Tellan {
namespace Platform {

// TCP options of a connected socket that shape how its writes become
// segments. A socket is its native handle (a file descriptor, a SOCKET).
class SocketOptions {
public:
    virtual ~SocketOptions() = default;

    // Sends small writes at once instead of holding them until the peer's
    // (delayed) acknowledgement of the last segment. False when it cannot.
    virtual bool setNoDelay(std::intptr_t socket, bool on) = 0;

    // While on, partial segments are held back, so that many small writes
    // travel in full segments; off sends what is held. False when it cannot
    // or the system has no such option (Windows).
    virtual bool setCork(std::intptr_t socket, bool on) = 0;

    static SocketOptions& native();
};

} // namespace Platform
} // namespace Tellan
