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
        if (typeMask == 0 || conditionMask == 0) {
            setLastError(ERROR_INVALID_PARAMETER_CODE);
            return false;
        }
        struct Field {
            std::uint32_t bit, running, wanted;
        } const fields[] = {
            {VER_MINORVERSION, running_.minorVersion, info.minorVersion},
            {VER_MAJORVERSION, running_.majorVersion, info.majorVersion},
            {VER_BUILDNUMBER, running_.buildNumber, info.buildNumber},
            {VER_PLATFORMID, running_.platformId, info.platformId},
            {VER_SERVICEPACKMINOR, running_.servicePackMinor, info.servicePackMinor},
            {VER_SERVICEPACKMAJOR, running_.servicePackMajor, info.servicePackMajor},
            {VER_PRODUCT_TYPE, running_.productType, info.productType},
        };
        for (const Field& f : fields) {
            if (!(typeMask & f.bit))
                continue;
            if (!verMeets(f.running, f.wanted, verConditionFor(conditionMask, f.bit))) {
                setLastError(ERROR_OLD_WIN_VERSION_CODE);
                return false;
            }
        }
        setLastError(0);
        return true;
    }

private:
    OsVersionInfo running_;
};

} // namespace

Version& Version::native() { return immortal<LinuxVersion>(); }

} // namespace Platform
} // namespace Tellan
