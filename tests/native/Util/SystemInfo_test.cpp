#include "SystemInfo/SystemInfo.h"
#include "SystemInfo/ScopedResource.h"

#include "Platform/Platform.h"
#include "Printers.h"
#include "RecordText.h"
#include "RecordingSink.h"
#include "ScriptedMachine.h"
#include "ScriptedRegistry.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace Tellan::Platform;
using TestSupport::ScriptedRegistry;
namespace SystemInfo = Zorvik::SystemInfo;

namespace {

const char kProductKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\";
const char kCryptographyKey[] = "SOFTWARE\\Microsoft\\Cryptography";
const char kProcessorKey[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

typedef std::vector<std::string> Lines;

std::string record(const std::string& level, const std::string& event, const std::string& fields)
{
    return "TellanHelper : " + level + " SystemInfoWin : " + event + " : " + fields + " : ";
}

// A registry probe's record: errorCode and the probe's name.
std::string registryRecord(const std::string& level, const std::string& event, int code, const std::string& probe)
{
    return record(level, event, "errorCode = " + std::to_string(code) + " , function = Zorvik>SystemInfo>" + probe);
}

// A record with errorCode and error (the system's text for the code).
std::string lastErrorRecord(const std::string& event, const std::string& text, unsigned code, const std::string& probe)
{
    return record("E", event,
                  "error = " + text + " , errorCode = " + std::to_string(code) + " , function = Zorvik>SystemInfo>"
                      + probe);
}

std::vector<std::uint8_t> countingBytes(std::size_t n)
{
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 0xA0);
    return bytes;
}

std::string upperHex(const std::vector<std::uint8_t>& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string callText(const ScriptedRegistry::Call& c)
{
    if (c.what == "open")
        return "open " + c.path + " access=" + std::to_string(c.access);
    if (c.what == "query")
        return "query " + c.value + " capacity=" + std::to_string(c.capacity);
    return "close " + c.path;
}

Lines callTexts(const ScriptedRegistry& registry)
{
    Lines out;
    for (const auto& c : registry.calls())
        out.push_back(callText(c));
    return out;
}

class SystemInfoTest : public ::testing::Test {
protected:
    SystemInfoTest()
    {
        machine.messages = {{2, u"The system cannot find the file specified.\r\n"},
                            {5, u"Access is denied.\r\n"},
                            {21, u"The device is not ready.\r\n"},
                            {87, u"The parameter is incorrect.\r\n"},
                            {1332, u"No mapping between account names and security IDs was done.\r\n"},
                            {1337, u"The security ID structure is invalid.\r\n"}};
    }

    Lines records() const { return TestSupport::recordTexts(sink); }

    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
    ScriptedRegistry registry;
    TestSupport::ScriptedMachine machine;
    ScopedInstall<Registry> installRegistry{&registry};
    ScopedInstall<Machine> installMachine{&machine};
};

} // namespace

TEST_F(SystemInfoTest, ProductIdIsReadFromEitherViewAndAlwaysGives328UpperCaseDigits)
{
    const auto full = countingBytes(164);
    const auto shorter = countingBytes(100);
    const std::string zeros(328, '0');
    const std::string key = kProductKey;
    const std::string opened = "close software\\microsoft\\windows nt\\currentversion";
    const Lines ownView = {"open " + key + " access=1", "query DigitalProductId capacity=164", opened};
    const Lines bothViews = {"open " + key + " access=1",   "query DigitalProductId capacity=164", opened,
                             "open " + key + " access=257", "query DigitalProductId capacity=164", opened};
    const struct {
        const char* name;
        std::function<void(ScriptedRegistry&)> setUp;
        std::string result;
        Lines records;
        Lines calls;
    } cases[] = {
        {"value in the process's view",
         [&](ScriptedRegistry& r) {
             r.setValue(ScriptedRegistry::OWN_VIEW, kProductKey, "DigitalProductId", REG_BINARY, full);
         },
         upperHex(full),
         {},
         ownView},
        {"value only in the 64-bit view",
         [&](ScriptedRegistry& r) {
             r.addKey(ScriptedRegistry::OWN_VIEW, kProductKey);
             r.setValue(ScriptedRegistry::VIEW_64, kProductKey, "DigitalProductId", REG_BINARY, full);
         },
         upperHex(full),
         {registryRecord("W", "initialReadOfProductIdRegistryFailed", 2, "getWindowsLicense")},
         bothViews},
        {"value in neither view",
         [&](ScriptedRegistry& r) {
             r.addKey(ScriptedRegistry::OWN_VIEW, kProductKey);
             r.addKey(ScriptedRegistry::VIEW_64, kProductKey);
         },
         zeros,
         {registryRecord("W", "initialReadOfProductIdRegistryFailed", 2, "getWindowsLicense"),
          registryRecord("E", "readProductIdRegistryFailed", 2, "getWindowsLicense")},
         bothViews},
        {"first open fails: no second attempt",
         [&](ScriptedRegistry& r) {
             r.failOpen(ScriptedRegistry::OWN_VIEW, kProductKey, 5);
             r.setValue(ScriptedRegistry::VIEW_64, kProductKey, "DigitalProductId", REG_BINARY, full);
         },
         zeros,
         {registryRecord("W", "initialOpenOfProductIdRegistryFailed", 5, "getWindowsLicense")},
         {"open " + key + " access=1"}},
        {"64-bit view has no such key",
         [&](ScriptedRegistry& r) { r.failRead(ScriptedRegistry::OWN_VIEW, kProductKey, "DigitalProductId", 5); },
         zeros,
         {registryRecord("W", "initialReadOfProductIdRegistryFailed", 5, "getWindowsLicense"),
          registryRecord("E", "openProductIdRegistryFailed", 2, "getWindowsLicense")},
         {ownView[0], ownView[1], ownView[2], "open " + key + " access=257"}},
        {"shorter value leaves zero bytes",
         [&](ScriptedRegistry& r) {
             r.setValue(ScriptedRegistry::OWN_VIEW, kProductKey, "DigitalProductId", REG_BINARY, shorter);
         },
         upperHex(shorter) + std::string(128, '0'),
         {},
         ownView},
        {"longer value than the buffer",
         [&](ScriptedRegistry& r) {
             r.setValueInBoth(kProductKey, "DigitalProductId", REG_BINARY, countingBytes(200));
         },
         zeros,
         {registryRecord("W", "initialReadOfProductIdRegistryFailed", 234, "getWindowsLicense"),
          registryRecord("E", "readProductIdRegistryFailed", 234, "getWindowsLicense")},
         bothViews},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedRegistry r;
        ScopedInstall<Registry> install(&r);
        c.setUp(r);
        sink.clear();

        const std::string license = SystemInfo::getWindowsLicense();
        EXPECT_EQ(license.size(), 328u);
        EXPECT_EQ(license, c.result);
        EXPECT_EQ(license.find_first_of("abcdef"), std::string::npos);
        EXPECT_EQ(records(), c.records);
        EXPECT_EQ(callTexts(r), c.calls);
        EXPECT_EQ(r.openKeys(), 0);
    }
}

TEST_F(SystemInfoTest, MachineGuidIsTheTextUpToItsNulFromEitherView)
{
    const std::string guid = "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4";
    const std::vector<std::uint8_t> noNul(256, 'g');
    const struct {
        const char* name;
        std::function<void(ScriptedRegistry&)> setUp;
        std::string result;
        Lines records;
    } cases[] = {
        {"value in the process's view",
         [&](ScriptedRegistry& r) { r.setString(ScriptedRegistry::OWN_VIEW, kCryptographyKey, "MachineGuid", guid); },
         guid,
         {}},
        {"value only in the 64-bit view",
         [&](ScriptedRegistry& r) {
             r.addKey(ScriptedRegistry::OWN_VIEW, kCryptographyKey);
             r.setString(ScriptedRegistry::VIEW_64, kCryptographyKey, "MachineGuid", guid);
         },
         guid,
         {registryRecord("W", "initialReadOfMachineGUIDRegistryFailed", 2, "getMachineGUID")}},
        {"value in neither view",
         [&](ScriptedRegistry& r) {
             r.addKey(ScriptedRegistry::OWN_VIEW, kCryptographyKey);
             r.addKey(ScriptedRegistry::VIEW_64, kCryptographyKey);
         },
         "",
         {registryRecord("W", "initialReadOfMachineGUIDRegistryFailed", 2, "getMachineGUID"),
          registryRecord("E", "readOfMachineGUIDRegistryFailed", 2, "getMachineGUID")}},
        {"key in neither view",
         [](ScriptedRegistry&) {},
         "",
         {registryRecord("W", "initialOpenOfMachineGUIDRegistryFailed", 2, "getMachineGUID")}},
        {"64-bit open fails",
         [&](ScriptedRegistry& r) {
             r.failRead(ScriptedRegistry::OWN_VIEW, kCryptographyKey, "MachineGuid", 5);
             r.failOpen(ScriptedRegistry::VIEW_64, kCryptographyKey, 5);
         },
         "",
         {registryRecord("W", "initialReadOfMachineGUIDRegistryFailed", 5, "getMachineGUID"),
          registryRecord("E", "openOfMachineGUIDRegistryFailed", 5, "getMachineGUID")}},
        {"a value that fills the buffer without a NUL",
         [&](ScriptedRegistry& r) {
             r.setValue(ScriptedRegistry::OWN_VIEW, kCryptographyKey, "MachineGuid", REG_SZ, noNul);
         },
         std::string(256, 'g'),
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedRegistry r;
        ScopedInstall<Registry> install(&r);
        c.setUp(r);
        sink.clear();

        EXPECT_EQ(SystemInfo::getMachineGUID(), c.result);
        EXPECT_EQ(records(), c.records);
        EXPECT_EQ(r.openKeys(), 0);
        for (const auto& call : r.calls()) {
            if (call.what == "query") {
                EXPECT_EQ(call.capacity, 256u);
            } else if (call.what == "open") {
                EXPECT_EQ(call.path, kCryptographyKey);
            }
        }
    }
}

TEST_F(SystemInfoTest, MachineSidIsTheComputerAccountsSidText)
{
    EXPECT_EQ(SystemInfo::getMachineSID(), "S-1-5-21-1004336348-1177238915-682003330");
    EXPECT_TRUE(records().empty());

    const auto lookups = machine.lookupCalls();
    ASSERT_EQ(lookups.size(), 2u);
    EXPECT_EQ(lookups[0].accountName, u"ZRVKPC");
    EXPECT_TRUE(lookups[0].systemNameNull);
    EXPECT_TRUE(lookups[0].sidNull);
    EXPECT_EQ(lookups[0].sidSize, 0u);
    EXPECT_EQ(lookups[0].domainSize, 1024u);
    EXPECT_EQ(lookups[1].accountName, u"ZRVKPC");
    EXPECT_FALSE(lookups[1].sidNull);
    EXPECT_EQ(lookups[1].sidSize, 24u);
    EXPECT_EQ(machine.globalAllocSizes(), std::vector<std::uint32_t>{24});
    EXPECT_EQ(machine.liveGlobalBlocks(), 0);
    EXPECT_EQ(machine.liveLocalBlocks(), 0);
}

TEST_F(SystemInfoTest, EachFailedSidStepGivesItsTextAndCodeAndReleasesTheSidMemory)
{
    const struct {
        const char* name;
        std::function<void(TestSupport::ScriptedMachine&)> setUp;
        std::string result;
        std::string record;
        int allocations;
    } cases[] = {
        {"computer name", [](TestSupport::ScriptedMachine& m) { m.computerNameError = 5; },
         "Error retrieving computer name: 5",
         lastErrorRecord("getComputerNameFailed", "Access is denied.", 5, "getMachineSID"), 0},
        {"SID size", [](TestSupport::ScriptedMachine& m) { m.sizeError = 1332; }, "Error retrieving SID size: 1332",
         lastErrorRecord("getAccountNameSizeFailed", "No mapping between account names and security IDs was done.",
                         1332, "getMachineSID"),
         0},
        {"SID", [](TestSupport::ScriptedMachine& m) { m.lookupError = 1332; }, "Error retrieving SID: 1332",
         lastErrorRecord("getAccountNameFailed", "No mapping between account names and security IDs was done.", 1332,
                         "getMachineSID"),
         1},
        {"SID text", [](TestSupport::ScriptedMachine& m) { m.convertError = 1337; },
         "Error converting SID to string: 1337",
         lastErrorRecord("convertAccountNameSidToStringFailed", "The security ID structure is invalid.", 1337,
                         "getMachineSID"),
         1},
        {"a code without a system text", [](TestSupport::ScriptedMachine& m) { m.computerNameError = 4242; },
         "Error retrieving computer name: 4242",
         record("E", "getComputerNameFailed",
                "error =  , errorCode = 4242 , function = Zorvik>SystemInfo>getMachineSID"),
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestSupport::ScriptedMachine m;
        m.messages = machine.messages;
        ScopedInstall<Machine> install(&m);
        c.setUp(m);
        sink.clear();

        EXPECT_EQ(SystemInfo::getMachineSID(), c.result);
        EXPECT_EQ(records(), Lines{c.record});
        EXPECT_EQ(static_cast<int>(m.globalAllocSizes().size()), c.allocations);
        EXPECT_EQ(m.liveGlobalBlocks(), 0);
        EXPECT_EQ(m.liveLocalBlocks(), 0);
    }
}

TEST_F(SystemInfoTest, HostNameSurvivesAFailedWinsockStartAndOtherwiseGivesItsErrorText)
{
    EXPECT_EQ(SystemInfo::getHostname(), "zrvk-host");
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(machine.callCount("wsaStartup"), 1);

    machine.wsaStartupResult = 10091;
    EXPECT_EQ(SystemInfo::getHostname(), "zrvk-host");
    EXPECT_EQ(records(), Lines{registryRecord("E", "wsaStartupFailed", 10091, "getHostname")});

    sink.clear();
    machine.hostNameError = 10093;
    EXPECT_EQ(SystemInfo::getHostname(), "getHostname error: 10093");
    EXPECT_EQ(records(), (Lines{registryRecord("E", "wsaStartupFailed", 10091, "getHostname"),
                                registryRecord("E", "getHostNameFailed", 10093, "getHostname")}));
}

TEST_F(SystemInfoTest, VolumeIdIsTheZeroExtendedSerialOrTheFallback)
{
    machine.volumeSerial = 0xFFFFFFFFu;
    EXPECT_EQ(SystemInfo::getVolumeId(), 4294967295u);
    machine.volumeSerial = 0x12345678u;
    EXPECT_EQ(SystemInfo::getVolumeId(), 0x12345678u);
    EXPECT_EQ(machine.callCount("getVolumeInformation"), 2); // no root path: the current directory's volume
    EXPECT_TRUE(records().empty());

    machine.volumeError = 21;
    EXPECT_EQ(SystemInfo::getVolumeId(), 3556551442u);
    EXPECT_EQ(records(),
              Lines{lastErrorRecord("getVolumeInformationFailed", "The device is not ready.", 21, "getVolumeId")});
}

TEST_F(SystemInfoTest, CpuSpeedIsMinusOneWithoutTheKeyAndZeroWithoutTheValue)
{
    registry.setDword(ScriptedRegistry::OWN_VIEW, kProcessorKey, "~MHz", 2904);
    EXPECT_EQ(SystemInfo::getCPUSpeedMHz(), 2904);
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(callTexts(registry),
              (Lines{"open " + std::string(kProcessorKey) + " access=131097", "query ~MHz capacity=4",
                     "close hardware\\description\\system\\centralprocessor\\0"}));

    registry.failRead(ScriptedRegistry::OWN_VIEW, kProcessorKey, "~MHz", 2);
    EXPECT_EQ(SystemInfo::getCPUSpeedMHz(), 0);
    EXPECT_EQ(records(), Lines{registryRecord("E", "readCPUSpeedRegistryFailed", 2, "getCPUSpeedMHz")});
    EXPECT_EQ(registry.openKeys(), 0);

    sink.clear();
    registry.failOpen(ScriptedRegistry::OWN_VIEW, kProcessorKey, 5);
    EXPECT_EQ(SystemInfo::getCPUSpeedMHz(), -1);
    EXPECT_EQ(records(), Lines{registryRecord("E", "openCPUSpeedRegistryFailed", 5, "getCPUSpeedMHz")});
}

TEST_F(SystemInfoTest, RamIsWholeMebibytesCutTo32Bits)
{
    const struct {
        std::uint64_t bytes;
        int mebibytes;
    } cases[] = {
        {std::uint64_t(16) << 30, 16384},
        {(std::uint64_t(16) << 30) + (1 << 20) - 1, 16384},
        {(std::uint64_t(1) << 20) - 1, 0},
        {(std::uint64_t(1) << 52) + (std::uint64_t(5) << 20), 5},
        {std::uint64_t(0x7FFFFFFF) << 21, static_cast<int>(0xFFFFFFFEu)},
    };
    for (const auto& c : cases) {
        machine.totalPhys = c.bytes;
        EXPECT_EQ(SystemInfo::getMBytesRAM(), c.mebibytes) << c.bytes;
    }
    EXPECT_TRUE(records().empty());

    machine.memoryError = 87;
    EXPECT_EQ(SystemInfo::getMBytesRAM(), -1);
    EXPECT_EQ(records(), Lines{lastErrorRecord("getRamSizeFailed", "The parameter is incorrect.", 87, "getMBytesRAM")});
}

TEST_F(SystemInfoTest, CpuTypeNamesOnlyTheThreeWindowsArchitecturesOfOld)
{
    const struct {
        std::uint16_t architecture;
        const char* name;
    } cases[] = {{0, "x86"}, {9, "x64"}, {6, "Intel Itanium"}, {5, ""}, {12, ""}, {0xFFFF, ""}};
    for (const auto& c : cases) {
        machine.architecture = c.architecture;
        EXPECT_EQ(SystemInfo::getCpuType(), c.name) << c.architecture;
    }
    EXPECT_EQ(SystemInfo::getOsType(), "win");
    EXPECT_EQ(SystemInfo::getOsType(), "win");
    EXPECT_TRUE(records().empty());
}

TEST_F(SystemInfoTest, LastErrorTextIsTheSystemsTextUnchangedOrEmpty)
{
    setLastError(5);
    EXPECT_EQ(SystemInfo::lastErrorText(), QStringLiteral("Access is denied.\r\n"));
    setLastError(4242);
    EXPECT_EQ(SystemInfo::lastErrorText(), QString());

    const auto calls = machine.formatCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].flags, 0x1300u); // allocate, from system, no inserts
    EXPECT_EQ(calls[0].messageId, 5u);
    EXPECT_EQ(calls[0].languageId, 0u);
    EXPECT_EQ(calls[0].minimumSize, 260u);
    EXPECT_EQ(calls[1].messageId, 4242u);
    EXPECT_EQ(machine.liveLocalBlocks(), 0);
    EXPECT_TRUE(records().empty());
}

TEST(ScopedResource, ReleasesANonZeroValueOnceAndAZeroValueNever)
{
    std::vector<void*> released;
    int value = 0;
    {
        SystemInfo::ScopedResource held(&value, [&](void* v) { released.push_back(v); });
        SystemInfo::ScopedResource empty(nullptr, [&](void* v) { released.push_back(v); });
        EXPECT_TRUE(released.empty());
    }
    EXPECT_EQ(released, std::vector<void*>{&value});
}
