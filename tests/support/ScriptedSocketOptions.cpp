#include "ScriptedSocketOptions.h"

namespace TestSupport {

using Tellan::Platform::SocketOptions;

bool ScriptedSocketOptions::setNoDelay(std::intptr_t socket, bool on)
{
    record("noDelay", on, socket);
    return SocketOptions::native().setNoDelay(socket, on);
}

bool ScriptedSocketOptions::setCork(std::intptr_t socket, bool on)
{
    record("cork", on, socket);
    return SocketOptions::native().setCork(socket, on);
}

std::vector<ScriptedSocketOptions::Call> ScriptedSocketOptions::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

void ScriptedSocketOptions::record(const char* option, bool on, std::intptr_t socket)
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({std::string(option) + (on ? " on" : " off"), socket});
}

} // namespace TestSupport
