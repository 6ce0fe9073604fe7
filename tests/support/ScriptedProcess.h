#pragma once

// A scripted child process and pipe. No time passes: every wait returns at
// once. Before each wait the next piece of `output` becomes readable; the
// process ends after `waitsBeforeEnd` waits that did not see it end (never
// when -1) or when terminated, and then whatever is left of `output` is
// readable. A wait for the process or data reports data when the pipe
// holds some.
// Install with Tellan::Platform::ScopedInstall<Tellan::Platform::Process>.

#include "Platform/Platform.h"
#include "Platform/Process.h"

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

class ScriptedProcess : public Tellan::Platform::Process {
public:
    using Handle = Tellan::Platform::Handle;

    static constexpr Handle READ_END = 0x10;
    static constexpr Handle WRITE_END = 0x14;
    static constexpr Handle PROCESS = 0x18;
    static constexpr Handle THREAD = 0x1C;

    bool createPipe(Handle* readEnd, Handle* writeEnd, const Tellan::Platform::SecurityAttributes* attributes,
                    std::uint32_t sizeHint) override;
    bool createProcess(std::wstring& commandLine, bool inheritHandles, std::uint32_t creationFlags,
                       const Tellan::Platform::StartupInfo& startup,
                       Tellan::Platform::ProcessInformation* info) override;
    std::uint32_t waitForSingleObject(Handle handle, std::uint32_t milliseconds) override;
    std::uint32_t waitForProcessOrPipeData(Handle process, Handle pipe, std::uint32_t milliseconds) override;
    bool peekNamedPipe(Handle pipe, std::uint32_t* totalBytesAvailable) override;
    bool readFile(Handle handle, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead) override;
    bool closeHandle(Handle handle) override;
    bool terminateProcess(Handle process, std::uint32_t exitCode) override;

    // The script.
    bool failCreatePipe = false;
    std::uint32_t createPipeError = Tellan::Platform::ERROR_TOO_MANY_OPEN_FILES_CODE;
    bool failCreateProcess = false;
    std::uint32_t createProcessError = Tellan::Platform::ERROR_FILE_NOT_FOUND_CODE;
    std::vector<std::string> output;
    int waitsBeforeEnd = 0;
    bool failWaits = false;

    // What the caller did.
    int createPipeCalls = 0;
    int createProcessCalls = 0;
    bool pipeInheritable = false;
    std::wstring commandLine;
    bool inheritHandles = false;
    std::uint32_t creationFlags = 0;
    Tellan::Platform::StartupInfo startup;
    std::vector<std::uint32_t> waitTimeouts;
    std::vector<std::uint32_t> readSizes;
    std::vector<Handle> closed;
    bool terminated = false;

private:
    void release(std::size_t pieces);

    std::size_t nextPiece_ = 0;
    std::string pipe_;
    bool ended_ = false;
};

} // namespace TestSupport
