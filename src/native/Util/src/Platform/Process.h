#pragma once

// Child processes and anonymous pipes (CreatePipe, CreateProcessW,
// WaitForSingleObject, PeekNamedPipe, ReadFile, CloseHandle,
// TerminateProcess). Handles are opaque numbers, never 0; every call may be
// made from any thread.

#include "Platform/Platform.h"

#include <cstdint>
#include <string>

namespace Tellan {
namespace Platform {

using Handle = std::uintptr_t;
constexpr Handle NO_HANDLE = 0;

// WaitForSingleObject results and its endless time-out.
constexpr std::uint32_t INFINITE_WAIT = 0xFFFFFFFF;
constexpr std::uint32_t WAIT_OBJECT_0_CODE = 0;
// waitForProcessOrPipeData: the pipe holds bytes to read.
constexpr std::uint32_t WAIT_PIPE_DATA_CODE = WAIT_OBJECT_0_CODE + 1;
constexpr std::uint32_t WAIT_TIMEOUT_CODE = 258;
constexpr std::uint32_t WAIT_FAILED_CODE = 0xFFFFFFFF;

// STARTUPINFOW flags and show state, process creation flags.
constexpr std::uint32_t STARTF_USESHOWWINDOW = 0x00000001;
constexpr std::uint32_t STARTF_USESTDHANDLES = 0x00000100;
constexpr std::uint16_t SW_HIDE = 0;
constexpr std::uint32_t CREATE_NEW_CONSOLE = 0x00000010;

// SECURITY_ATTRIBUTES without a descriptor (always the default one).
struct SecurityAttributes {
    std::uint32_t length = sizeof(SecurityAttributes);
    bool inheritHandle = false;
};

// The part of STARTUPINFOW that the programs set.
struct StartupInfo {
    std::uint32_t size = sizeof(StartupInfo);
    std::uint32_t flags = 0;
    std::uint16_t showWindow = 0;
    Handle stdInput = NO_HANDLE;
    Handle stdOutput = NO_HANDLE;
    Handle stdError = NO_HANDLE;
};

// PROCESS_INFORMATION.
struct ProcessInformation {
    Handle process = NO_HANDLE;
    Handle thread = NO_HANDLE;
    std::uint32_t processId = 0;
    std::uint32_t threadId = 0;
};

class Process {
public:
    virtual ~Process() = default;

    // CreatePipe: a read end and a write end; sizeHint 0 is the default size.
    // The ends are inheritable when attributes say so.
    virtual bool createPipe(Handle* readEnd, Handle* writeEnd, const SecurityAttributes* attributes,
                            std::uint32_t sizeHint) = 0;

    // CreateProcessW with no application name, no process or thread
    // attributes, the caller's environment and current folder. The command
    // line is searched for the program (its first word) on PATH. With
    // STARTF_USESTDHANDLES the child's standard handles are those of
    // `startup` (NO_HANDLE: none) and need inheritHandles. On success fills
    // `info`; the caller closes its two handles.
    virtual bool createProcess(std::wstring& commandLine, bool inheritHandles, std::uint32_t creationFlags,
                               const StartupInfo& startup, ProcessInformation* info) = 0;

    // WaitForSingleObject on a process or thread handle: WAIT_OBJECT_0_CODE
    // once the process has ended, WAIT_TIMEOUT_CODE after `milliseconds`,
    // WAIT_FAILED_CODE with getLastError() set.
    virtual std::uint32_t waitForSingleObject(Handle handle, std::uint32_t milliseconds) = 0;

    // Waits until the process has ended or the pipe holds bytes to read, for
    // at most `milliseconds`: WAIT_OBJECT_0_CODE once the process has ended
    // (whatever the pipe holds), WAIT_PIPE_DATA_CODE while it runs and the
    // pipe holds data, WAIT_TIMEOUT_CODE, or WAIT_FAILED_CODE with
    // getLastError() set. Windows cannot wait on an anonymous pipe; there
    // this is WaitForSingleObject in short steps with PeekNamedPipe between.
    virtual std::uint32_t waitForProcessOrPipeData(Handle process, Handle pipe, std::uint32_t milliseconds) = 0;

    // PeekNamedPipe without a buffer: the number of bytes ready to be read.
    virtual bool peekNamedPipe(Handle pipe, std::uint32_t* totalBytesAvailable) = 0;

    // ReadFile: blocks until at least one byte is there, or the writers are
    // gone (true with *bytesRead 0).
    virtual bool readFile(Handle handle, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead) = 0;

    virtual bool closeHandle(Handle handle) = 0;

    // Ends the process at once; its exit code becomes `exitCode` on Windows.
    virtual bool terminateProcess(Handle process, std::uint32_t exitCode) = 0;

    static Process& native();
};

} // namespace Platform
} // namespace Tellan
