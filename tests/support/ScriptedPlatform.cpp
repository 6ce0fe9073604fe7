#include "ScriptedPlatform.h"

namespace TestSupport {

using namespace Tellan::Platform;

bool ScriptedAccount::getUserName(char16_t* buffer, std::uint32_t* size)
{
    if (fail) {
        setLastError(failCode);
        return false;
    }
    const std::uint32_t needed = static_cast<std::uint32_t>(userName.size()) + 1;
    if (*size < needed) {
        *size = needed;
        setLastError(ERROR_INSUFFICIENT_BUFFER_CODE);
        return false;
    }
    for (int i = 0; i < userName.size(); ++i)
        buffer[i] = userName.at(i).unicode();
    buffer[userName.size()] = 0;
    *size = needed;
    setLastError(0);
    return true;
}

void ScriptedThreads::setThreadName(std::uint32_t threadId, const char* name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    names_.emplace_back(threadId, name ? name : "");
}

std::vector<std::pair<std::uint32_t, std::string>> ScriptedThreads::names() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
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

bool ScriptedVersion::verifyVersionInfo(const OsVersionInfo& info, std::uint32_t typeMask,
                                        std::uint64_t conditionMask)
{
    ++verifyCalls;
    if (failVerify) {
        setLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    struct Field {
        std::uint32_t bit, running, wanted;
    } const fields[] = {
        {VER_MINORVERSION, running.minorVersion, info.minorVersion},
        {VER_MAJORVERSION, running.majorVersion, info.majorVersion},
        {VER_PRODUCT_TYPE, running.productType, info.productType},
    };
    for (const Field& f : fields) {
        if (!(typeMask & f.bit))
            continue;
        int index = 0;
        for (std::uint32_t b = f.bit; b > 1; b >>= 1)
            ++index;
        const auto condition = (conditionMask >> (3 * index)) & 7;
        const bool ok = condition == VER_GREATER_EQUAL ? f.running >= f.wanted
                        : condition == VER_EQUAL       ? f.running == f.wanted
                                                       : false;
        if (!ok) {
            setLastError(ERROR_OLD_WIN_VERSION_CODE);
            return false;
        }
    }
    setLastError(0);
    return true;
}

} // namespace TestSupport
