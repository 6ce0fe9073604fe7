#pragma once

#include "Platform/Version.h"

#include <QString>

#include <cstdint>

namespace Tellan {

// Names the running Windows release for the log-file header. The numbers
// come from VerifyVersionInfoW alone, counted up from 1 until the system
// says no, so they are the ones the program's manifest lets it see. Nothing
// is cached; any thread may call.
class WindowsVersionUtil {
public:
    // Version codes; versionName gives each its fixed name.
    enum : int {
        UNKNOWN_VERSION = 0, // even major version 1 was refused
        UNRECOGNISED = 1, // a major.minor pair not listed
        WIN_2000 = 2,
        WIN_XP = 3,
        WIN_VISTA = 4,
        WIN_7 = 5,
        WIN_8 = 6,
        WIN_8_1 = 7,
        WIN_10 = 8,
        HOME_SERVER = 9, // never returned
        SERVER_2003 = 10,
        SERVER_2008 = 11,
        SERVER_2012 = 12,
    };

    // Probes major, minor and product type and classifies them; logs
    // windowsVersionFound (or windowsVersionError), and
    // invalidWindowsVersionFound for an unrecognised pair.
    static int getCurrentWindowsVersion();

    // The name of a code; for any code without a fixed name
    // "Unknown_<major>_<minor>" from two new probes.
    static QString versionName(int version);

    // The largest value the system accepts as "at least"; 0 when it does
    // not accept 1.
    static std::uint32_t probeMajorVersion();
    static std::uint32_t probeMinorVersion();
    static std::uint8_t probeProductType();

    static bool majorVersionAtLeast(std::uint32_t major);
    static bool minorVersionAtLeast(std::uint32_t minor);
    static bool productTypeAtLeast(std::uint8_t productType);

    // VerifyVersionInfoW of one field alone with VER_GREATER_EQUAL.
    static bool versionFieldAtLeast(Platform::OsVersionInfo info, std::uint32_t typeMask);
};

} // namespace Tellan
