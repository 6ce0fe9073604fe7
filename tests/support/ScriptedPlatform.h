#pragma once

// Scripted platform facilities for tests. Each one answers from plain public
// members that a test sets; install it with
// Tellan::Platform::ScopedInstall<Facility> for the test's scope.

#include "Platform/Account.h"
#include "Platform/Platform.h"
#include "Platform/Version.h"

#include <QString>

#include <cstdint>
#include <string>

namespace TestSupport {

class ScriptedAccount : public Tellan::Platform::Account {
public:
    bool getUserName(char16_t* buffer, std::uint32_t* size) override;

    QString userName;
    bool fail = false;
    std::uint32_t failCode = Tellan::Platform::ERROR_ACCESS_DENIED_CODE;
};

// Reports `running` (a 284-byte record) and compares against it like the
// real call; getVersionEx fails when failGetVersion is set.
class ScriptedVersion : public Tellan::Platform::Version {
public:
    ScriptedVersion(std::uint32_t major, std::uint32_t minor, std::uint8_t productType);
    bool getVersionEx(Tellan::Platform::OsVersionInfo& info) override;
    bool verifyVersionInfo(const Tellan::Platform::OsVersionInfo& info, std::uint32_t typeMask,
                           std::uint64_t conditionMask) override;

    Tellan::Platform::OsVersionInfo running;
    bool failGetVersion = false;
    bool failVerify = false;
    int verifyCalls = 0;
};

} // namespace TestSupport
