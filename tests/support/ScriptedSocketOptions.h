#pragma once

#include "Platform/SocketOptions.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport {

// The native socket options, each call also recorded as "noDelay on",
// "cork off" and so on, with the socket it was for.
class ScriptedSocketOptions : public Tellan::Platform::SocketOptions {
public:
    struct Call {
        std::string option;
        std::intptr_t socket;
    };

    bool setNoDelay(std::intptr_t socket, bool on) override;
    bool setCork(std::intptr_t socket, bool on) override;

    std::vector<Call> calls() const;

private:
    void record(const char* option, bool on, std::intptr_t socket);

    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

} // namespace TestSupport
