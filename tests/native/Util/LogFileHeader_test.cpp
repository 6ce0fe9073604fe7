#include "Logger/Logger.h"
#include "Settings/SharedStorage.h"

#include "Platform/Platform.h"
#include "Printers.h"
#include "RecordText.h"
#include "RecordingSink.h"
#include "ScriptedMachine.h"
#include "ScriptedPlatform.h"
#include "ScriptedRegistry.h"
#include "TempProfile.h"

#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <ctime>
#include <sstream>
#include <string>
#include <vector>

using namespace Tellan::Platform;
using TestSupport::ScriptedRegistry;

namespace {

typedef std::vector<std::string> Lines;

const char kProcessorKey[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
const char kDeviceId[] = "ZRVK01da39a3ee5e6b4b0d3255bfef95601890afd80709";

class Header : public Tellan::Logger {
public:
    void attach(std::stringstream&) override {}
    void close() override {}
    void write(const std::string&) override {}
    void rotate() override {}
};

// "yymmdd:HHMMSS" in UTC.
std::string stamp(std::time_t t)
{
    std::tm utc;
    gmtime_r(&t, &utc);
    char text[16];
    std::strftime(text, sizeof text, "%y%m%d:%H%M%S", &utc);
    return text;
}

Lines splitLines(const std::string& text)
{
    Lines lines;
    std::string::size_type start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start != text.size())
        lines.push_back(text.substr(start) + "<no line feed>");
    return lines;
}

// The scripted machine, a stored device id and a recording sink for what the
// probes log while the header is built.
class LogFileHeaderTest : public ::testing::Test {
protected:
    LogFileHeaderTest()
    {
        account.userName = QStringLiteral("header-test-user");
        Tellan::SharedStorage::saveDeviceId(kDeviceId);
        sink.clear();
    }

    TestSupport::TempProfile profile;
    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
    TestSupport::ScriptedAccount account;
    TestSupport::ScriptedMachine machine;
    ScopedInstall<Account> installAccount{&account};
    ScopedInstall<Machine> installMachine{&machine};
};

} // namespace

TEST_F(LogFileHeaderTest, TwelveLinesWithTheProbesValuesWhetherTheySucceedOrFail)
{
    const struct {
        const char* name;
        bool failing;
        Lines facts; // lines 1 to 11
        Lines records; // what the probes logged meanwhile, in order
    } cases[] = {
        {"probes succeed",
         false,
         {"[SystemInfo]", "OsType: win", "OsVersion: 10", "NativeBuild: 9.5.2.2478", "CpuSpeed: 2904", "CpuType: x64",
          "RAM: 16384", "PrimaryDisk: -1", std::string("DeviceId: ") + kDeviceId, "", "[Logs]"},
         {"TellanHelper : I WindowsVersion : windowsVersionFound : function = "
          "Tellan>WindowsVersionUtil>getCurrentWindowsVersion , majorVersion = 10 , minorVersion = 0 : "}},
        {"probes fail",
         true,
         {"[SystemInfo]", "OsType: win", "OsVersion: Unknown_6_4", "NativeBuild: 9.5.2.2478", "CpuSpeed: -1",
          "CpuType: ", "RAM: -1", "PrimaryDisk: -1", std::string("DeviceId: ") + kDeviceId, "", "[Logs]"},
         {"TellanHelper : I WindowsVersion : windowsVersionFound : function = "
          "Tellan>WindowsVersionUtil>getCurrentWindowsVersion , majorVersion = 6 , minorVersion = 4 : ",
          "TellanHelper : E WindowsVersion : invalidWindowsVersionFound : dwMajorVersion = 6 , function = "
          "Tellan>WindowsVersionUtil>getCurrentWindowsVersion , minor = 4 : ",
          "TellanHelper : E SystemInfoWin : openCPUSpeedRegistryFailed : errorCode = 2 , function = "
          "Zorvik>SystemInfo>getCPUSpeedMHz : ",
          "TellanHelper : E SystemInfoWin : getRamSizeFailed : error =  , errorCode = 87 , function = "
          "Zorvik>SystemInfo>getMBytesRAM : "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sink.clear();
        TestSupport::ScriptedVersion version(c.failing ? 6 : 10, c.failing ? 4 : 0, VER_NT_WORKSTATION);
        ScopedInstall<Version> installVersion(&version);
        ScriptedRegistry registry;
        ScopedInstall<Registry> installRegistry(&registry);
        if (c.failing)
            registry.failOpen(ScriptedRegistry::OWN_VIEW, kProcessorKey, 2);
        else
            registry.setDword(ScriptedRegistry::OWN_VIEW, kProcessorKey, "~MHz", 2904);
        machine.totalPhys = std::uint64_t(16) << 30;
        machine.memoryError = c.failing ? 87 : 0;
        machine.architecture = c.failing ? 12 : PROCESSOR_ARCHITECTURE_AMD64;

        const std::time_t before = std::time(nullptr);
        const std::string header = Header().buildLogFileHeader();
        const std::time_t after = std::time(nullptr);

        const Lines lines = splitLines(header);
        ASSERT_EQ(lines.size(), 12u) << header;
        EXPECT_EQ(Lines(lines.begin(), lines.begin() + 11), c.facts);
        // The record is forced, formatted here, never logged, and carries
        // no function field; the header ends with its line feed.
        static const QRegularExpression started(
            QStringLiteral("^[0-9]{6}:[0-9]{6} TellanHelper : I Logger : LogFileStarted : line ([1-9][0-9]*), $"));
        const auto match = started.match(QString::fromStdString(lines[11]));
        ASSERT_TRUE(match.hasMatch()) << lines[11];
        std::string facts;
        for (const std::string& line : c.facts)
            facts += line + "\n";
        const auto expected = [&](std::time_t t) {
            return facts + stamp(t) + " TellanHelper : I Logger : LogFileStarted : line "
                   + match.captured(1).toStdString() + ", \n";
        };
        EXPECT_TRUE(header == expected(before) || header == expected(after)) << header;
        EXPECT_EQ(TestSupport::recordTexts(sink), c.records);
    }
}
