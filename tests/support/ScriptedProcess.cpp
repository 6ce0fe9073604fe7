#include "ScriptedProcess.h"

#include <algorithm>
#include <cstring>

namespace TestSupport {

using namespace Tellan::Platform;

bool ScriptedProcess::createPipe(Handle* readEnd, Handle* writeEnd, const SecurityAttributes* attributes, std::uint32_t)
{
    ++createPipeCalls;
    if (failCreatePipe) {
        setLastError(createPipeError);
        return false;
    }
    pipeInheritable = attributes && attributes->inheritHandle;
    *readEnd = READ_END;
    *writeEnd = WRITE_END;
    setLastError(0);
    return true;
}

bool ScriptedProcess::createProcess(std::wstring& line, bool inherit, std::uint32_t flags, const StartupInfo& info,
                                    ProcessInformation* process)
{
    ++createProcessCalls;
    commandLine = line;
    inheritHandles = inherit;
    creationFlags = flags;
    startup = info;
    if (failCreateProcess) {
        setLastError(createProcessError);
        return false;
    }
    process->process = PROCESS;
    process->thread = THREAD;
    process->processId = process->threadId = 4242;
    setLastError(0);
    return true;
}

void ScriptedProcess::release(std::size_t pieces)
{
    for (; pieces > 0 && nextPiece_ < output.size(); --pieces)
        pipe_ += output[nextPiece_++];
}

std::uint32_t ScriptedProcess::waitForSingleObject(Handle handle, std::uint32_t milliseconds)
{
    waitTimeouts.push_back(milliseconds);
    if (handle != PROCESS) {
        setLastError(ERROR_INVALID_HANDLE_CODE);
        return WAIT_FAILED_CODE;
    }
    release(1);
    if (!ended_ && waitsBeforeEnd >= 0 && static_cast<int>(waitTimeouts.size()) > waitsBeforeEnd)
        ended_ = true;
    if (ended_)
        release(output.size());
    if (failWaits) {
        setLastError(ERROR_INVALID_HANDLE_CODE);
        return WAIT_FAILED_CODE;
    }
    return ended_ ? WAIT_OBJECT_0_CODE : WAIT_TIMEOUT_CODE;
}

std::uint32_t ScriptedProcess::waitForProcessOrPipeData(Handle process, Handle pipe, std::uint32_t milliseconds)
{
    if (pipe != READ_END) {
        waitTimeouts.push_back(milliseconds);
        setLastError(ERROR_INVALID_HANDLE_CODE);
        return WAIT_FAILED_CODE;
    }
    const std::uint32_t result = waitForSingleObject(process, milliseconds);
    return result == WAIT_TIMEOUT_CODE && !pipe_.empty() ? WAIT_PIPE_DATA_CODE : result;
}

bool ScriptedProcess::peekNamedPipe(Handle pipe, std::uint32_t* totalBytesAvailable)
{
    if (pipe != READ_END) {
        setLastError(ERROR_INVALID_HANDLE_CODE);
        return false;
    }
    *totalBytesAvailable = static_cast<std::uint32_t>(pipe_.size());
    setLastError(0);
    return true;
}

bool ScriptedProcess::readFile(Handle handle, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead)
{
    if (handle != READ_END) {
        setLastError(ERROR_INVALID_HANDLE_CODE);
        return false;
    }
    readSizes.push_back(bytesToRead);
    const std::size_t n = std::min<std::size_t>(bytesToRead, pipe_.size());
    std::memcpy(buffer, pipe_.data(), n);
    pipe_.erase(0, n);
    *bytesRead = static_cast<std::uint32_t>(n);
    setLastError(0);
    return true;
}

bool ScriptedProcess::closeHandle(Handle handle)
{
    closed.push_back(handle);
    setLastError(0);
    return true;
}

bool ScriptedProcess::terminateProcess(Handle, std::uint32_t)
{
    terminated = true;
    ended_ = true;
    setLastError(0);
    return true;
}

} // namespace TestSupport
