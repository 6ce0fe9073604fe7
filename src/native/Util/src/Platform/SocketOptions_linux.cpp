#include "Platform/SocketOptions.h"
#include "Platform/Platform.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace Tellan {
namespace Platform {

namespace {

bool setTcpOption(std::intptr_t socket, int option, bool on)
{
    const int value = on ? 1 : 0;
    return ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, option, &value, sizeof value) == 0;
}

class LinuxSocketOptions final : public SocketOptions {
public:
    bool setNoDelay(std::intptr_t socket, bool on) override { return setTcpOption(socket, TCP_NODELAY, on); }
    bool setCork(std::intptr_t socket, bool on) override { return setTcpOption(socket, TCP_CORK, on); }
};

} // namespace

SocketOptions& SocketOptions::native() { return immortal<LinuxSocketOptions>(); }

} // namespace Platform
} // namespace Tellan
