#include "ScriptedSession.h"

namespace TestSupport {

using namespace Tellan::Platform;

Session::ProcessIdToSessionIdFunction ScriptedSession::lookUpProcessIdToSessionId()
{
    ++lookUps;
    if (!hasSessionFunction)
        return {};
    // Reads the member at each call, so a test can move the process to
    // another session after the look-up.
    return [this](std::uint32_t, std::uint32_t* id) {
        *id = sessionId;
        return true;
    };
}

bool ScriptedSession::getPrivateTempPath(std::string* path)
{
    if (folder.isEmpty()) {
        setLastError(ERROR_ACCESS_DENIED_CODE);
        return false;
    }
    *path = folder.toStdString();
    return true;
}

bool ObservedFileLock::lockFileEx(int descriptor, std::uint32_t flags)
{
    return FileLock::native().lockFileEx(descriptor, flags);
}

bool ObservedFileLock::unlockFileEx(int descriptor)
{
    if (beforeUnlock)
        beforeUnlock();
    return FileLock::native().unlockFileEx(descriptor);
}

Elevation::RefreshPolicyFunction ScriptedElevation::lookUpIERefreshElevationPolicy()
{
    if (!present)
        return {};
    return [this] {
        ++calls;
        return std::int32_t(0);
    };
}

} // namespace TestSupport
