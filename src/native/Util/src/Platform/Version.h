#pragma once

#include <cstdint>

namespace Tellan {
namespace Platform {

// OSVERSIONINFOEXW. `size` tells which form the caller means: 276 for the
// short OSVERSIONINFOW, 284 for the whole record.
struct OsVersionInfo {
    std::uint32_t size = 0;
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t buildNumber = 0;
    std::uint32_t platformId = 0;
    char16_t csdVersion[128] = {};
    std::uint16_t servicePackMajor = 0;
    std::uint16_t servicePackMinor = 0;
    std::uint16_t suiteMask = 0;
    std::uint8_t productType = 0;
    std::uint8_t reserved = 0;
};

enum VersionTypeMask : std::uint32_t {
    VER_MINORVERSION = 0x0000001,
    VER_MAJORVERSION = 0x0000002,
    VER_BUILDNUMBER = 0x0000004,
    VER_PLATFORMID = 0x0000008,
    VER_SERVICEPACKMINOR = 0x0000010,
    VER_SERVICEPACKMAJOR = 0x0000020,
    VER_SUITENAME = 0x0000040,
    VER_PRODUCT_TYPE = 0x0000080,
};

enum VersionCondition : std::uint8_t {
    VER_EQUAL = 1,
    VER_GREATER = 2,
    VER_GREATER_EQUAL = 3,
    VER_LESS = 4,
    VER_LESS_EQUAL = 5,
};

enum : std::uint8_t { VER_NT_WORKSTATION = 1, VER_NT_DOMAIN_CONTROLLER = 2, VER_NT_SERVER = 3 };

// VerSetConditionMask: three bits of condition per type bit.
std::uint64_t verSetConditionMask(std::uint64_t conditionMask, std::uint32_t typeMask, std::uint8_t condition);
// The condition that conditionMask holds for one type bit.
std::uint8_t verConditionFor(std::uint64_t conditionMask, std::uint32_t typeBit);
// VerifyVersionInfoW's comparison of a running system with a wanted record:
// every field named in typeMask under its condition. Sets the last error.
bool verifyVersionAgainst(const OsVersionInfo& running, const OsVersionInfo& wanted, std::uint32_t typeMask,
                          std::uint64_t conditionMask);

// The version of the running system (GetVersionExW, VerifyVersionInfoW).
// The Linux implementation reports Windows 10.0 workstation.
class Version {
public:
    virtual ~Version() = default;

    // Fills the record up to info.size bytes' worth of fields; false with
    // getLastError() set on failure (info is then left as it was).
    virtual bool getVersionEx(OsVersionInfo& info) = 0;

    // True when the running system meets every field named in typeMask
    // under the conditions of conditionMask; false with getLastError()
    // ERROR_OLD_WIN_VERSION_CODE when it does not.
    virtual bool verifyVersionInfo(const OsVersionInfo& info, std::uint32_t typeMask, std::uint64_t conditionMask) = 0;

    static Version& native();
};

} // namespace Platform
} // namespace Tellan
