// The parsers of the Linux machine facts over fixture texts, one row per
// branch. SystemInfoLinux_test reads this machine's own sources beside them.

#include "Platform/LinuxFacts.h"
#include "Platform/Machine.h"
#include "Printers.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace facts = Tellan::Platform::LinuxFacts;
using namespace Tellan::Platform;

namespace {

template <class Case>
std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    return info.param.name;
}

const std::string ID = "0123456789abcdef0123456789abcdef";

struct TextCase {
    const char* name;
    std::string text;
    std::string expected;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class MachineIdText : public ::testing::TestWithParam<TextCase> {};

TEST_P(MachineIdText, IsTheFirstLineWhenItHoldsThe32Digits)
{
    EXPECT_EQ(facts::machineIdFromText(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MachineIdText,
    ::testing::Values(
        TextCase{"EmptyOrAbsent", "", ""}, TextCase{"AsSystemdWritesIt", ID + "\n", ID}, TextCase{"NoLineEnd", ID, ID},
        TextCase{"BlanksAroundAndUpperCase", " \t0123456789ABCDEF0123456789ABCDEF \r\n", ID},
        TextCase{"SecondLineIgnored", ID + "\nsomething else\n", ID}, TextCase{"FirstLineEmpty", "\n" + ID + "\n", ""},
        TextCase{"Uninitialized", "uninitialized\n", ""}, TextCase{"OneDigitShort", ID.substr(1) + "\n", ""},
        TextCase{"OneDigitLong", ID + "0\n", ""}, TextCase{"NotHexadecimal", ID.substr(1) + "g\n", ""},
        TextCase{"GuidForm", "01234567-89ab-cdef-0123-456789abcdef\n", ""}),
    caseName<TextCase>);

class ComputerName : public ::testing::TestWithParam<TextCase> {};

TEST_P(ComputerName, IsTheFirstLabelInUpperCaseCutTo15)
{
    EXPECT_EQ(facts::computerNameFromHostName(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComputerName,
                         ::testing::Values(TextCase{"Plain", "zrvk-host", "ZRVK-HOST"},
                                           TextCase{"FullyQualified", "build.example.org", "BUILD"},
                                           TextCase{"Long", "a-very-long-host-name.example", "A-VERY-LONG-HOS"},
                                           TextCase{"Exactly15", "abcdefghijklmno", "ABCDEFGHIJKLMNO"},
                                           TextCase{"Empty", "", ""}, TextCase{"LeadingDot", ".local", ""},
                                           // ASCII letters only, whatever the locale.
                                           TextCase{"NonAscii",
                                                    "\xC3\xBC"
                                                    "ber-host",
                                                    "\xC3\xBC"
                                                    "BER-HOST"}),
                         caseName<TextCase>);

const std::string X86 = "processor\t: 0\n"
                        "vendor_id\t: GenuineIntel\n"
                        "model name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\n"
                        "cpu MHz\t\t: 2199.998\n"
                        "\n"
                        "processor\t: 1\n"
                        "cpu MHz\t\t: 1800.000\n"
                        "\n";
const std::string ARM64 = "processor\t: 0\n"
                          "BogoMIPS\t: 50.00\n"
                          "Features\t: fp asimd evtstrm\n"
                          "\n"
                          "processor\t: 1\n"
                          "BogoMIPS\t: 50.00\n";
const std::string S390 = "vendor_id       : IBM/S390\n"
                         "cpu MHz : 5000\n"
                         "processor 0: version = FF,  identification = 0133E8,  machine = 2964\n";

struct CpuInfoCase {
    const char* name;
    std::string cpuInfo;
    int processor;
    bool exists;
    std::optional<std::uint32_t> mhz;
    std::string model;
};

void PrintTo(const CpuInfoCase& c, std::ostream* os) { *os << c.name; }

class CpuInfo : public ::testing::TestWithParam<CpuInfoCase> {};

TEST_P(CpuInfo, ValuesComeFromTheProcessorsOwnBlock)
{
    const CpuInfoCase& c = GetParam();
    EXPECT_EQ(facts::cpuInfoHasProcessor(c.cpuInfo, c.processor), c.exists);
    EXPECT_EQ(facts::cpuMHzFromCpuInfo(c.cpuInfo, c.processor), c.mhz);
    EXPECT_EQ(facts::cpuInfoValue(c.cpuInfo, c.processor, "model name"), c.model);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CpuInfo,
    ::testing::Values(
        CpuInfoCase{"X86First", X86, 0, true, 2200u, "Intel(R) Xeon(R) CPU @ 2.20GHz"},
        CpuInfoCase{"X86SecondHasNoModel", X86, 1, true, 1800u, ""},
        CpuInfoCase{"NoSuchProcessor", X86, 2, false, std::nullopt, ""},
        CpuInfoCase{"EmptyOrAbsent", "", 0, false, std::nullopt, ""},
        CpuInfoCase{"Arm64HasNoSpeed", ARM64, 0, true, std::nullopt, ""},
        CpuInfoCase{"S390HasNoBlocks", S390, 0, false, std::nullopt, ""},
        CpuInfoCase{"NoBlanks", "processor:0\ncpu MHz:2400.5\nmodel name:X\n", 0, true, 2401u, "X"},
        CpuInfoCase{"BlanksInTheValue", "processor : 0\nmodel name :  A  B  \n", 0, true, std::nullopt, "A  B"},
        CpuInfoCase{"SpeedNotANumber", "processor : 0\ncpu MHz : fast\n", 0, true, std::nullopt, ""},
        CpuInfoCase{"SpeedZero", "processor : 0\ncpu MHz : 0.000\n", 0, true, std::nullopt, ""},
        CpuInfoCase{"SpeedNegative", "processor : 0\ncpu MHz : -5\n", 0, true, std::nullopt, ""},
        CpuInfoCase{"SpeedAbsurd", "processor : 0\ncpu MHz : 2e9\n", 0, true, std::nullopt, ""},
        CpuInfoCase{"LinesWithoutColonSkipped", "garbage\nprocessor : 0\nnoise\ncpu MHz : 800\n", 0, true, 800u, ""}),
    caseName<CpuInfoCase>);

struct MachineCase {
    const char* name;
    std::string machine;
    std::uint16_t architecture;
};

void PrintTo(const MachineCase& c, std::ostream* os) { *os << c.name; }

class UnameMachine : public ::testing::TestWithParam<MachineCase> {};

TEST_P(UnameMachine, GivesTheWindowsProcessorArchitecture)
{
    EXPECT_EQ(facts::processorArchitectureFromMachine(GetParam().machine), GetParam().architecture);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnameMachine,
                         ::testing::Values(MachineCase{"I386", "i386", PROCESSOR_ARCHITECTURE_INTEL},
                                           MachineCase{"I686", "i686", PROCESSOR_ARCHITECTURE_INTEL},
                                           MachineCase{"X86_64", "x86_64", PROCESSOR_ARCHITECTURE_AMD64},
                                           MachineCase{"Ia64", "ia64", PROCESSOR_ARCHITECTURE_IA64},
                                           MachineCase{"Aarch64", "aarch64", PROCESSOR_ARCHITECTURE_ARM64},
                                           MachineCase{"Arm64", "arm64", PROCESSOR_ARCHITECTURE_ARM64},
                                           MachineCase{"Armv7l", "armv7l", PROCESSOR_ARCHITECTURE_ARM},
                                           MachineCase{"Riscv64", "riscv64", PROCESSOR_ARCHITECTURE_UNKNOWN},
                                           MachineCase{"X86Alone", "x86", PROCESSOR_ARCHITECTURE_UNKNOWN},
                                           MachineCase{"Empty", "", PROCESSOR_ARCHITECTURE_UNKNOWN}),
                         caseName<MachineCase>);

struct DmiCase {
    const char* name;
    std::optional<std::string> file;
    std::optional<std::string> serial;
};

void PrintTo(const DmiCase& c, std::ostream* os) { *os << c.name; }

class DmiSerial : public ::testing::TestWithParam<DmiCase> {};

TEST_P(DmiSerial, IsTheFileWithoutItsLineEndAndNoneWhenUnreadable)
{
    EXPECT_EQ(facts::dmiSerialFromFile(GetParam().file), GetParam().serial);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DmiSerial,
    ::testing::Values(DmiCase{"AbsentOrUnreadable", std::nullopt, std::nullopt},
                      DmiCase{"Empty", std::string(), std::string()},
                      DmiCase{"AsTheKernelWritesIt", std::string("PF2X9Q7Z\n"), std::string("PF2X9Q7Z")},
                      DmiCase{"NoLineEnd", std::string("PF2X9Q7Z"), std::string("PF2X9Q7Z")},
                      // Taken as the firmware gives it, as WMI does.
                      DmiCase{"BlanksKept", std::string("  Not Specified  \n"), std::string("  Not Specified  ")},
                      DmiCase{"OnlyOneLineEndDropped", std::string("A\n\n"), std::string("A\n")}),
    caseName<DmiCase>);

TEST(LinuxFactsFiles, AreReadWholeAndAMissingOneIsNone)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("product_serial")));
    QFile file(dir.filePath(QStringLiteral("product_serial")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray("line one\n\0line two\n", 19));
    file.close();

    EXPECT_EQ(facts::readFile(path.constData()), std::string("line one\n\0line two\n", 19));
    EXPECT_EQ(facts::readFile("/no/such/file/here"), std::nullopt);
}

} // namespace
