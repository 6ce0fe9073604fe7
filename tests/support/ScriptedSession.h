#pragma once

#include "Platform/Elevation.h"
#include "Platform/FileLock.h"
#include "Platform/Session.h"
#include "Platform/Threads.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace TestSupport {

// The session as a test sets it: a ProcessIdToSessionId that reports
// `sessionId` (or none when `hasSessionFunction` is false) and a private
// folder that is `folder` (or refused when it is empty); owners and peers
// as the system says.
class ScriptedSession : public Tellan::Platform::Session {
public:
    std::uint32_t getCurrentProcessId() override { return processId; }
    ProcessIdToSessionIdFunction lookUpProcessIdToSessionId() override;
    bool getPrivateTempPath(std::string* path) override;
    bool isOwnedByCurrentUser(int descriptor) override { return Session::native().isOwnedByCurrentUser(descriptor); }
    bool isPeerOfCurrentUser(int descriptor) override { return Session::native().isPeerOfCurrentUser(descriptor); }

    std::uint32_t processId = 4242;
    bool hasSessionFunction = true;
    std::uint32_t sessionId = 1;
    QString folder;
    int lookUps = 0;
};

// The native locks, with a hook that runs before each release.
class ObservedFileLock : public Tellan::Platform::FileLock {
public:
    bool lockFileEx(int descriptor, std::uint32_t flags) override;
    bool unlockFileEx(int descriptor) override;

    std::function<void()> beforeUnlock;
};

// IERefreshElevationPolicy present (counting its calls) or absent.
class ScriptedElevation : public Tellan::Platform::Elevation {
public:
    RefreshPolicyFunction lookUpIERefreshElevationPolicy() override;

    bool present = true;
    int calls = 0;
};

// A debugger that attaches at the given question (0: never).
class ScriptedDebugger : public Tellan::Platform::Threads {
public:
    std::uint32_t currentThreadId() override { return Threads::native().currentThreadId(); }
    void setThreadName(std::uint32_t threadId, const char* name) override
    {
        Threads::native().setThreadName(threadId, name);
    }
    bool isDebuggerPresent() override { return attachesAt != 0 && ++questions >= attachesAt; }

    int attachesAt = 0;
    std::atomic<int> questions{0};
};

} // namespace TestSupport
