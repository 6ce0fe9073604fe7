// The probes through the Linux implementation of the platform layer: each
// gives this machine's fact, read here again from its Linux source, or its
// documented fallback.

#include "SystemInfo/SystemInfo.h"

#include "Platform/Com.h"
#include "Platform/Platform.h"
#include "Printers.h"
#include "RecordText.h"
#include "RecordingSink.h"

#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace SystemInfo = Zorvik::SystemInfo;
typedef std::vector<std::string> Lines;

namespace {

std::string firstLine(const char* path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// /etc/machine-id when it holds the 32 hexadecimal digits it should.
std::string machineId()
{
    const std::string id = firstLine("/etc/machine-id");
    return QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(QString::fromStdString(id)).hasMatch()
               ? id
               : std::string();
}

std::string record(const std::string& level, const std::string& event, const std::string& fields)
{
    return "TellanHelper : " + level + " SystemInfoWin : " + event + " : " + fields + " : ";
}

class SystemInfoLinuxTest : public ::testing::Test {
protected:
    Lines records() const { return TestSupport::recordTexts(sink); }
    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
};

} // namespace

TEST_F(SystemInfoLinuxTest, ThereIsNoProductIdInEitherView)
{
    EXPECT_EQ(SystemInfo::getWindowsLicense(), std::string(328, '0'));
    EXPECT_EQ(records(), (Lines{record("W", "initialReadOfProductIdRegistryFailed",
                                       "errorCode = 2 , function = Zorvik>SystemInfo>getWindowsLicense"),
                                record("E", "readProductIdRegistryFailed",
                                       "errorCode = 2 , function = Zorvik>SystemInfo>getWindowsLicense")}));
}

TEST_F(SystemInfoLinuxTest, MachineGuidAndSidComeFromTheMachineId)
{
    const std::string id = machineId();
    if (id.empty()) {
        EXPECT_EQ(SystemInfo::getMachineGUID(), "");
        EXPECT_EQ(SystemInfo::getMachineSID(), "Error retrieving SID size: 1332");
        return;
    }
    EXPECT_EQ(SystemInfo::getMachineGUID(), id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-"
                                                + id.substr(16, 4) + "-" + id.substr(20, 12));
    std::string sid = "S-1-5-21";
    for (int i = 0; i < 3; ++i)
        sid += "-" + std::to_string(std::stoul(id.substr(8 * i, 8), nullptr, 16));
    EXPECT_EQ(SystemInfo::getMachineSID(), sid);
    EXPECT_TRUE(records().empty());
}

TEST_F(SystemInfoLinuxTest, HostNameVolumeMemoryAndProcessorAreTheMachines)
{
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_EQ(SystemInfo::getHostname(), host);

    struct statvfs volume {};
    ASSERT_EQ(::statvfs(".", &volume), 0);
    EXPECT_EQ(SystemInfo::getVolumeId(), volume.f_fsid & 0xFFFFFFFFu);

    struct sysinfo memory {};
    ASSERT_EQ(::sysinfo(&memory), 0);
    const int mebibytes = SystemInfo::getMBytesRAM();
    EXPECT_EQ(mebibytes, static_cast<int>((std::uint64_t(memory.totalram) * memory.mem_unit) >> 20));
    EXPECT_GT(mebibytes, 0);

    struct utsname name {};
    ASSERT_EQ(::uname(&name), 0);
    const std::string machine = name.machine;
    const bool x86 = machine == "i386" || machine == "i486" || machine == "i586" || machine == "i686";
    EXPECT_EQ(SystemInfo::getCpuType(), machine == "x86_64" ? "x64" : x86 ? "x86" : "");
    EXPECT_EQ(SystemInfo::getOsType(), "win");
    EXPECT_EQ(SystemInfo::getOsVersion(), "10");
    EXPECT_EQ(records().size(), 1u); // only getOsVersion's windowsVersionFound
}

TEST_F(SystemInfoLinuxTest, CpuSpeedIsProcessorZerosMHzOrZeroWithItsRecord)
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    double mhz = -1;
    while (std::getline(cpuinfo, line) && mhz < 0) {
        const auto m =
            QRegularExpression(QStringLiteral("^cpu MHz\\s*:\\s*([0-9.]+)\\s*$")).match(QString::fromStdString(line));
        if (m.hasMatch())
            mhz = m.captured(1).toDouble();
    }
    const int speed = SystemInfo::getCPUSpeedMHz();
    if (mhz > 0) {
        EXPECT_EQ(speed, static_cast<int>(std::lround(mhz)));
        EXPECT_TRUE(records().empty());
    } else {
        EXPECT_EQ(speed, 0);
        EXPECT_EQ(records(), Lines{record("E", "readCPUSpeedRegistryFailed",
                                          "errorCode = 2 , function = Zorvik>SystemInfo>getCPUSpeedMHz")});
    }
}

TEST_F(SystemInfoLinuxTest, BiosSerialIsTheDmiSerialAndTheSecondQueryFindsSecuritySet)
{
    std::ifstream in("/sys/class/dmi/id/product_serial", std::ios::binary);
    std::string serial((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!serial.empty() && serial.back() == '\n')
        serial.pop_back();
    EXPECT_EQ(SystemInfo::getBiosSerialNumber(), serial.substr(0, 255));

    sink.clear();
    EXPECT_EQ(SystemInfo::getBiosSerialNumber(), serial.substr(0, 255));
    EXPECT_EQ(records(), Lines{record("W", "systemInfoInitializeSecurityAlreadyCalled",
                                      "function = `anonymous-namespace'>InitializeCom , returnCode = Security must be "
                                      "initialized before any interfaces are marshalled or unmarshalled. It cannot "
                                      "be changed once initialized.")});
}

TEST_F(SystemInfoLinuxTest, AThreadOfTheMultithreadedApartmentGetsNoSerial)
{
    using namespace Tellan::Platform;
    std::string answer = "unset";
    std::thread([&] {
        ASSERT_EQ(Com::native().coInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        answer = SystemInfo::getBiosSerialNumber();
        Com::native().coUninitialize();
    }).join();
    EXPECT_EQ(answer, "");
    EXPECT_EQ(records(), (Lines{record("E", "systemInfoInitializeComFailed",
                                       "errorCode = Cannot change thread mode after it is set. , "
                                       "function = `anonymous-namespace'>InitializeCom"),
                                record("E", "getBIOSSNComInitFailed",
                                       "errorCode = Cannot change thread mode after it is set. , "
                                       "function = `anonymous-namespace'>getPropertyFromCOMAPI")}));
}

TEST_F(SystemInfoLinuxTest, LastErrorTextHasTheSystemsWordingForTheLayersCodes)
{
    Tellan::Platform::setLastError(2);
    EXPECT_EQ(SystemInfo::lastErrorText(), QStringLiteral("The system cannot find the file specified.\r\n"));
    Tellan::Platform::setLastError(1332);
    EXPECT_EQ(SystemInfo::lastErrorText(),
              QStringLiteral("No mapping between account names and security IDs was done.\r\n"));
    Tellan::Platform::setLastError(424242);
    EXPECT_EQ(SystemInfo::lastErrorText(), QString());
}
