#include "ScriptedPlatform.h"

namespace TestSupport {

using namespace Tellan::Platform;

bool ScriptedAccount::getUserName(char16_t* buffer, std::uint32_t* size)
{
    if (fail) {
        setLastError(failCode);
        return false;
    }
    return Account::copyName(userName, buffer, size);
}

ScriptedVersion::ScriptedVersion(std::uint32_t major, std::uint32_t minor, std::uint8_t productType)
{
    running.size = sizeof(OsVersionInfo);
    running.majorVersion = major;
    running.minorVersion = minor;
    running.productType = productType;
    running.platformId = 2;
}

bool ScriptedVersion::getVersionEx(OsVersionInfo& info)
{
    if (failGetVersion) {
        setLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    const std::uint32_t size = info.size;
    info = running;
    info.size = size;
    setLastError(0);
    return true;
}

bool ScriptedVersion::verifyVersionInfo(const OsVersionInfo& info, std::uint32_t typeMask, std::uint64_t conditionMask)
{
    ++verifyCalls;
    if (failVerify) {
        setLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    return verifyVersionAgainst(running, info, typeMask, conditionMask);
}

} // namespace TestSupport
