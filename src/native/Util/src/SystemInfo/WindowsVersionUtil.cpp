#include "SystemInfo/WindowsVersionUtil.h"

#include "Logging/Log.h"
#include "Platform/Platform.h"

#include <limits>

namespace Tellan {

namespace {

// The size of OSVERSIONINFOEXW.
constexpr std::uint32_t kVersionRecordSize = 284;

Platform::OsVersionInfo testRecord()
{
    Platform::OsVersionInfo info;
    info.size = kVersionRecordSize;
    return info;
}

// Counts up from 1 while the system says yes. Stops at the type's largest
// value so that a system that says yes to everything cannot wrap around.
template <class T, class Test>
T probe(Test atLeast)
{
    if (!atLeast(T(1)))
        return 0;
    T value = 1;
    while (value < std::numeric_limits<T>::max() && atLeast(T(value + 1)))
        ++value;
    return value;
}

} // namespace

bool WindowsVersionUtil::versionFieldAtLeast(Platform::OsVersionInfo info, std::uint32_t typeMask)
{
    const std::uint64_t condition = Platform::verSetConditionMask(0, typeMask, Platform::VER_GREATER_EQUAL);
    return Platform::Installed<Platform::Version>::get().verifyVersionInfo(info, typeMask, condition);
}

bool WindowsVersionUtil::majorVersionAtLeast(std::uint32_t major)
{
    Platform::OsVersionInfo info = testRecord();
    info.majorVersion = major;
    return versionFieldAtLeast(info, Platform::VER_MAJORVERSION);
}

bool WindowsVersionUtil::minorVersionAtLeast(std::uint32_t minor)
{
    Platform::OsVersionInfo info = testRecord();
    info.minorVersion = minor;
    return versionFieldAtLeast(info, Platform::VER_MINORVERSION);
}

bool WindowsVersionUtil::productTypeAtLeast(std::uint8_t productType)
{
    Platform::OsVersionInfo info = testRecord();
    info.productType = productType;
    return versionFieldAtLeast(info, Platform::VER_PRODUCT_TYPE);
}

std::uint32_t WindowsVersionUtil::probeMajorVersion() { return probe<std::uint32_t>(majorVersionAtLeast); }

std::uint32_t WindowsVersionUtil::probeMinorVersion() { return probe<std::uint32_t>(minorVersionAtLeast); }

std::uint8_t WindowsVersionUtil::probeProductType() { return probe<std::uint8_t>(productTypeAtLeast); }

int WindowsVersionUtil::getCurrentWindowsVersion()
{
    const std::uint32_t major = probeMajorVersion();
    const std::uint32_t minor = probeMinorVersion();
    const std::uint8_t productType = probeProductType();

    if (major == 0) {
        const uint error = Platform::getLastError();
        TLOG_EVENT(ERROR, "WindowsVersion", "windowsVersionError", {"error", error});
        return UNKNOWN_VERSION;
    }
    TLOG_EVENT(INFO, "WindowsVersion", "windowsVersionFound", {"majorVersion", uint(major)},
               {"minorVersion", uint(minor)});

    const bool workstation = productType == Platform::VER_NT_WORKSTATION;
    if (major == 10)
        return WIN_10;
    if (major == 6) {
        switch (minor) {
        case 0: return workstation ? WIN_VISTA : SERVER_2008;
        case 1: return workstation ? WIN_7 : SERVER_2008;
        case 2: return workstation ? WIN_8 : SERVER_2012;
        case 3: return workstation ? WIN_8_1 : SERVER_2012;
        default: break;
        }
    } else if (major == 5) {
        switch (minor) {
        case 0: return WIN_2000;
        case 1: return WIN_XP;
        case 2: return SERVER_2003;
        default: break;
        }
    }
    TLOG_EVENT(ERROR, "WindowsVersion", "invalidWindowsVersionFound", {"dwMajorVersion", uint(major)},
               {"minor", uint(minor)});
    return UNRECOGNISED;
}

QString WindowsVersionUtil::versionName(int version)
{
    switch (version) {
    case WIN_2000: return QStringLiteral("2000");
    case WIN_XP: return QStringLiteral("XP");
    case WIN_VISTA: return QStringLiteral("Vista");
    case WIN_7: return QStringLiteral("7");
    case WIN_8: return QStringLiteral("8");
    case WIN_8_1: return QStringLiteral("8.1");
    case WIN_10: return QStringLiteral("10");
    case HOME_SERVER: return QStringLiteral("HomeServer");
    case SERVER_2003: return QStringLiteral("Server2003");
    case SERVER_2008: return QStringLiteral("Server2008");
    case SERVER_2012: return QStringLiteral("Server2012");
    default: break;
    }
    const std::uint32_t major = probeMajorVersion();
    const std::uint32_t minor = probeMinorVersion();
    return QStringLiteral("Unknown_%1_%2").arg(major).arg(minor);
}

} // namespace Tellan
