#include "SystemInfo/WindowsVersionUtil.h"
#include "SystemInfo/SystemInfo.h"

#include "Platform/Platform.h"
#include "RecordText.h"
#include "RecordingSink.h"
#include "ScriptedPlatform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using Tellan::WindowsVersionUtil;
using namespace Tellan::Platform;

namespace {

const char kFound[] = "TellanHelper : I WindowsVersion : windowsVersionFound : "
                      "function = Tellan>WindowsVersionUtil>getCurrentWindowsVersion , ";

std::string foundRecord(unsigned major, unsigned minor)
{
    return kFound + ("majorVersion = " + std::to_string(major) + " , minorVersion = " + std::to_string(minor) + " : ");
}

std::string invalidRecord(unsigned major, unsigned minor)
{
    return "TellanHelper : E WindowsVersion : invalidWindowsVersionFound : dwMajorVersion = " + std::to_string(major)
           + " , function = Tellan>WindowsVersionUtil>getCurrentWindowsVersion , minor = " + std::to_string(minor)
           + " : ";
}

struct VersionCase {
    unsigned major, minor;
    std::uint8_t productType;
    int code;
    const char* name;
};

class WindowsVersionTest : public ::testing::Test {
protected:
    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
};

} // namespace

TEST_F(WindowsVersionTest, ClassifiesEveryKnownReleaseAndNamesUnknownOnesByTheirNumbers)
{
    const VersionCase cases[] = {
        {10, 0, VER_NT_WORKSTATION, 8, "10"},
        {10, 0, VER_NT_SERVER, 8, "10"},
        {10, 7, VER_NT_DOMAIN_CONTROLLER, 8, "10"},
        {5, 0, VER_NT_WORKSTATION, 2, "2000"},
        {5, 0, VER_NT_SERVER, 2, "2000"},
        {5, 1, VER_NT_WORKSTATION, 3, "XP"},
        {5, 2, VER_NT_WORKSTATION, 10, "Server2003"},
        {5, 2, VER_NT_SERVER, 10, "Server2003"},
        {6, 0, VER_NT_WORKSTATION, 4, "Vista"},
        {6, 0, VER_NT_SERVER, 11, "Server2008"},
        {6, 1, VER_NT_WORKSTATION, 5, "7"},
        {6, 1, VER_NT_DOMAIN_CONTROLLER, 11, "Server2008"},
        {6, 1, VER_NT_SERVER, 11, "Server2008"},
        {6, 2, VER_NT_WORKSTATION, 6, "8"},
        {6, 2, VER_NT_SERVER, 12, "Server2012"},
        {6, 3, VER_NT_WORKSTATION, 7, "8.1"},
        {6, 3, VER_NT_SERVER, 12, "Server2012"},
        {6, 4, VER_NT_WORKSTATION, 1, "Unknown_6_4"},
        {5, 3, VER_NT_SERVER, 1, "Unknown_5_3"},
        {4, 0, VER_NT_WORKSTATION, 1, "Unknown_4_0"},
        {11, 2, VER_NT_WORKSTATION, 1, "Unknown_11_2"},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) + " type "
                     + std::to_string(c.productType));
        TestSupport::ScriptedVersion version(c.major, c.minor, c.productType);
        ScopedInstall<Version> install(&version);
        sink.clear();

        const int code = WindowsVersionUtil::getCurrentWindowsVersion();
        EXPECT_EQ(code, c.code);
        std::vector<std::string> expected = {foundRecord(c.major, c.minor)};
        if (code == 1)
            expected.push_back(invalidRecord(c.major, c.minor));
        EXPECT_EQ(TestSupport::recordTexts(sink), expected);

        EXPECT_EQ(WindowsVersionUtil::versionName(code).toStdString(), c.name);
        EXPECT_EQ(Zorvik::SystemInfo::getOsVersion(), c.name);
    }
}

TEST_F(WindowsVersionTest, ASystemThatRefusesEvenVersionOneGivesCodeZeroAndItsLastError)
{
    TestSupport::ScriptedVersion version(10, 0, VER_NT_WORKSTATION);
    version.failVerify = true; // fails every test with 87
    ScopedInstall<Version> install(&version);

    EXPECT_EQ(WindowsVersionUtil::getCurrentWindowsVersion(), 0);
    EXPECT_EQ(TestSupport::recordTexts(sink),
              std::vector<std::string>{"TellanHelper : E WindowsVersion : windowsVersionError : error = 87 , "
                                       "function = Tellan>WindowsVersionUtil>getCurrentWindowsVersion : "});
    EXPECT_EQ(WindowsVersionUtil::versionName(0), "Unknown_0_0");
    EXPECT_EQ(Zorvik::SystemInfo::getOsVersion(), "Unknown_0_0");
}

TEST_F(WindowsVersionTest, CodesWithoutANameProbeAgainAndNamedCodesDoNot)
{
    TestSupport::ScriptedVersion version(6, 4, VER_NT_WORKSTATION);
    ScopedInstall<Version> install(&version);

    for (int code : {0, 1, 13, -1}) {
        const int before = version.verifyCalls;
        EXPECT_EQ(WindowsVersionUtil::versionName(code), "Unknown_6_4") << code;
        EXPECT_GT(version.verifyCalls, before) << code;
    }
    const struct {
        int code;
        const char* name;
    } named[] = {{2, "2000"}, {3, "XP"},         {4, "Vista"},       {5, "7"},           {6, "8"},          {7, "8.1"},
                 {8, "10"},   {9, "HomeServer"}, {10, "Server2003"}, {11, "Server2008"}, {12, "Server2012"}};
    for (const auto& n : named) {
        const int before = version.verifyCalls;
        EXPECT_EQ(WindowsVersionUtil::versionName(n.code).toStdString(), n.name);
        EXPECT_EQ(version.verifyCalls, before) << n.code;
    }
    EXPECT_TRUE(sink.lines().empty());
}

namespace {

// Keeps each VerifyVersionInfoW call's arguments.
class RecordingVersion : public TestSupport::ScriptedVersion {
public:
    using ScriptedVersion::ScriptedVersion;
    struct Call {
        OsVersionInfo info;
        std::uint32_t typeMask;
        std::uint64_t conditionMask;
    };
    bool verifyVersionInfo(const OsVersionInfo& info, std::uint32_t typeMask, std::uint64_t conditionMask) override
    {
        calls.push_back({info, typeMask, conditionMask});
        return ScriptedVersion::verifyVersionInfo(info, typeMask, conditionMask);
    }
    std::vector<Call> calls;
};

} // namespace

TEST_F(WindowsVersionTest, ProbesCountUpOneFieldAtATimeUntilTheFirstNo)
{
    RecordingVersion version(6, 3, VER_NT_SERVER);
    ScopedInstall<Version> install(&version);

    EXPECT_EQ(WindowsVersionUtil::probeMajorVersion(), 6u);
    EXPECT_EQ(WindowsVersionUtil::probeMinorVersion(), 3u);
    EXPECT_EQ(WindowsVersionUtil::probeProductType(), 3u);

    // 1..7 for the major, 1..4 for the minor, 1..4 for the product type.
    ASSERT_EQ(version.calls.size(), 7u + 4u + 4u);
    std::vector<std::uint32_t> tested;
    for (std::size_t i = 0; i < version.calls.size(); ++i) {
        const RecordingVersion::Call& call = version.calls[i];
        const std::uint32_t bit = i < 7 ? VER_MAJORVERSION : i < 11 ? VER_MINORVERSION : VER_PRODUCT_TYPE;
        EXPECT_EQ(call.typeMask, bit) << i;
        EXPECT_EQ(call.conditionMask, verSetConditionMask(0, bit, VER_GREATER_EQUAL)) << i;
        EXPECT_EQ(call.info.size, 284u);
        // Every other field of the test record is zero.
        OsVersionInfo rest = call.info;
        const std::uint32_t value = bit == VER_MAJORVERSION   ? rest.majorVersion
                                    : bit == VER_MINORVERSION ? rest.minorVersion
                                                              : rest.productType;
        tested.push_back(value);
        rest.majorVersion = rest.minorVersion = 0;
        rest.productType = 0;
        OsVersionInfo zero;
        zero.size = 284;
        EXPECT_EQ(std::memcmp(&rest, &zero, sizeof zero), 0) << i;
    }
    EXPECT_EQ(tested, (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 1, 2, 3, 4, 1, 2, 3, 4}));
}

TEST_F(WindowsVersionTest, TheLinuxLayerIsWindows10)
{
    EXPECT_EQ(WindowsVersionUtil::getCurrentWindowsVersion(), 8);
    EXPECT_EQ(Zorvik::SystemInfo::getOsVersion(), "10");
}
