#include "Platform/Version.h"
#include "Platform/Platform.h"

namespace Tellan {
namespace Platform {

namespace {

int typeIndex(std::uint32_t typeBit)
{
    int index = 0;
    while (typeBit > 1) {
        typeBit >>= 1;
        ++index;
    }
    return index;
}

} // namespace

std::uint64_t verSetConditionMask(std::uint64_t conditionMask, std::uint32_t typeMask, std::uint8_t condition)
{
    for (std::uint32_t bit = 1; bit <= VER_PRODUCT_TYPE; bit <<= 1) {
        if (typeMask & bit) {
            const int shift = 3 * typeIndex(bit);
            conditionMask &= ~(std::uint64_t(7) << shift);
            conditionMask |= std::uint64_t(condition & 7) << shift;
        }
    }
    return conditionMask;
}

std::uint8_t verConditionFor(std::uint64_t conditionMask, std::uint32_t typeBit)
{
    return static_cast<std::uint8_t>((conditionMask >> (3 * typeIndex(typeBit))) & 7);
}

static bool meets(std::uint32_t running, std::uint32_t wanted, std::uint8_t condition)
{
    switch (condition) {
    case VER_EQUAL: return running == wanted;
    case VER_GREATER: return running > wanted;
    case VER_GREATER_EQUAL: return running >= wanted;
    case VER_LESS: return running < wanted;
    case VER_LESS_EQUAL: return running <= wanted;
    default: return false;
    }
}

bool verifyVersionAgainst(const OsVersionInfo& running, const OsVersionInfo& wanted, std::uint32_t typeMask,
                          std::uint64_t conditionMask)
{
    if (typeMask == 0 || conditionMask == 0) {
        setLastError(ERROR_INVALID_PARAMETER_CODE);
        return false;
    }
    struct Field {
        std::uint32_t bit, running, wanted;
    } const fields[] = {
        {VER_MINORVERSION, running.minorVersion, wanted.minorVersion},
        {VER_MAJORVERSION, running.majorVersion, wanted.majorVersion},
        {VER_BUILDNUMBER, running.buildNumber, wanted.buildNumber},
        {VER_PLATFORMID, running.platformId, wanted.platformId},
        {VER_SERVICEPACKMINOR, running.servicePackMinor, wanted.servicePackMinor},
        {VER_SERVICEPACKMAJOR, running.servicePackMajor, wanted.servicePackMajor},
        {VER_PRODUCT_TYPE, running.productType, wanted.productType},
    };
    for (const Field& f : fields) {
        if ((typeMask & f.bit) && !meets(f.running, f.wanted, verConditionFor(conditionMask, f.bit))) {
            setLastError(ERROR_OLD_WIN_VERSION_CODE);
            return false;
        }
    }
    setLastError(0);
    return true;
}

} // namespace Platform
} // namespace Tellan
