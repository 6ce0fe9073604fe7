#pragma once

#include <cstdint>

namespace Tellan {
namespace Platform {

// Thread identity and naming (GetCurrentThreadId, the debugger's thread name).
class Threads {
public:
    virtual ~Threads() = default;

    // The operating system's id of the calling thread; never 0.
    virtual std::uint32_t currentThreadId() = 0;

    // Names a thread of this process for debuggers and process listings.
    // Never fails visibly: a name that cannot be set is ignored.
    virtual void setThreadName(std::uint32_t threadId, const char* name) = 0;

    // Whether a debugger is attached to this process.
    virtual bool isDebuggerPresent() = 0;

    static Threads& native();
};

} // namespace Platform
} // namespace Tellan
