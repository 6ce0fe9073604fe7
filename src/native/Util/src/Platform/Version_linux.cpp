#include "Platform/Version.h"
#include "Platform/Platform.h"

namespace Tellan {
namespace Platform {

namespace {

class LinuxVersion final : public Version {
public:
    LinuxVersion()
    {
        running_.size = sizeof(OsVersionInfo);
        running_.majorVersion = 10;
        running_.minorVersion = 0;
        running_.buildNumber = 19045;
        running_.platformId = 2;
        running_.productType = VER_NT_WORKSTATION;
    }

    bool getVersionEx(OsVersionInfo& info) override
    {
        if (info.size != 276 && info.size != 284) {
            setLastError(ERROR_INSUFFICIENT_BUFFER_CODE);
            return false;
        }
        const std::uint32_t size = info.size;
        info = running_;
        info.size = size;
        if (size == 276) {
            info.servicePackMajor = info.servicePackMinor = info.suiteMask = 0;
            info.productType = info.reserved = 0;
        }
        setLastError(0);
        return true;
    }

    bool verifyVersionInfo(const OsVersionInfo& info, std::uint32_t typeMask, std::uint64_t conditionMask) override
    {
        return verifyVersionAgainst(running_, info, typeMask, conditionMask);
    }

private:
    OsVersionInfo running_;
};

} // namespace

Version& Version::native() { return immortal<LinuxVersion>(); }

} // namespace Platform
} // namespace Tellan
