// The migrator run in this process: with a real fake PowerShell on PATH
// wherever the outcome shows on disk, and with scripted platform facilities
// where the system cannot be made to fail or what was asked of it cannot be
// seen otherwise.

#include "Migrator.h"
#include "MigratorFiles.h"
#include "MigratorLog.h"
#include "StoreDetection.h"

#include "Platform/Platform.h"
#include "Platform/Process.h"
#include "Platform/Version.h"
#include "ScopedEnvironment.h"
#include "ScriptedPlatform.h"
#include "ScriptedProcess.h"

#include <QDate>
#include <QDir>
#include <QTime>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <signal.h>

#include <gtest/gtest.h>

using namespace MigratorTest;
using Tellan::Platform::Process;
using Tellan::Platform::ScopedInstall;
using Tellan::Platform::Version;
using TestSupport::ScriptedProcess;

namespace {

class MigratorRun : public ::testing::Test {
protected:
    void SetUp() override { QDir().mkpath(profile_.logsFolder()); }

    // A fake powershell.exe, the only program on PATH besides the system's.
    void fakePowershell(const std::string& body) { profile_.fakeProgram(QStringLiteral("powershell.exe"), body); }

    TestSupport::TempProfile profile_;
    TestSupport::ScopedEnvironment path_{"PATH", profile_.bin() + QStringLiteral(":/usr/bin:/bin")};
};

TEST_F(MigratorRun, LocationsFollowTheDataLocation)
{
    EXPECT_EQ(musicDataDirectory().string(), profile_.productRoot().toStdString());
    EXPECT_EQ(migratorLogPath().string(), currentLog(profile_).toStdString());
}

struct OlderWindowsCase {
    const char* name;
    std::uint32_t major;
    bool queryFails;
};

void PrintTo(const OlderWindowsCase& c, std::ostream* os) { *os << c.name; }

class MigratorOlderWindows : public MigratorRun, public ::testing::WithParamInterface<OlderWindowsCase> {};

TEST_P(MigratorOlderWindows, OnlyLogsItAndStartsNoPowershell)
{
    TestSupport::ScriptedVersion windows(GetParam().major, 3, Tellan::Platform::VER_NT_WORKSTATION);
    windows.failGetVersion = GetParam().queryFails;
    ScopedInstall<Version> version(&windows);
    const QString started = profile_.path(QStringLiteral("started"));
    fakePowershell("touch '" + started.toStdString() + "'; echo ZorvikMobileLLC.ZorvikMusic");

    EXPECT_EQ(runMigrator(), 0);

    EXPECT_EQ(archivedLogContent(profile_), logOf({VERSION_LINE, "not running in windows 10 or later"}));
    EXPECT_FALSE(QFile::exists(started));
    EXPECT_FALSE(QFile::exists(marker(profile_)));
}

// A failed query leaves the major version 0, even on Windows 10.
INSTANTIATE_TEST_SUITE_P(Cases, MigratorOlderWindows,
                         ::testing::Values(OlderWindowsCase{"Windows81", 6, false},
                                           OlderWindowsCase{"FailedQuery", 10, true}),
                         [](const ::testing::TestParamInfo<OlderWindowsCase>& info) {
                             return std::string(info.param.name);
                         });

struct CreationFailureCase {
    const char* name;
    bool pipeFails;
    const char* message;
    int processCalls;
};

void PrintTo(const CreationFailureCase& c, std::ostream* os) { *os << c.name; }

class MigratorCreationFailure : public MigratorRun, public ::testing::WithParamInterface<CreationFailureCase> {};

TEST_P(MigratorCreationFailure, EndsTheRunWithOne)
{
    ScriptedProcess process;
    process.failCreatePipe = GetParam().pipeFails;
    process.failCreateProcess = !GetParam().pipeFails;
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(runMigrator(), 1);

    EXPECT_EQ(archivedLogContent(profile_), logOf({VERSION_LINE, WINDOWS_10, CHECKING, GetParam().message}));
    EXPECT_EQ(process.createProcessCalls, GetParam().processCalls);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MigratorCreationFailure,
    ::testing::Values(CreationFailureCase{"Pipe", true, "cannot create pipe to get output of powershell command", 0},
                      CreationFailureCase{"Process", false, "cannot run the powershell command", 1}),
    [](const ::testing::TestParamInfo<CreationFailureCase>& info) { return std::string(info.param.name); });

// Neither a hidden window nor a console shows on Linux.
TEST_F(MigratorRun, PowershellRunsHiddenInAConsoleOfItsOwnAndEachWaitIsAtMost50ms)
{
    ScriptedProcess process;
    process.output = {"Name", "----", "Microsoft.WindowsCalculator"};
    process.waitsBeforeEnd = 2;
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(detectStoreApp(), 0);

    EXPECT_EQ(process.creationFlags, 0x10u);
    EXPECT_EQ(process.startup.flags, 0x101u);
    EXPECT_EQ(process.startup.showWindow, 0u);
    EXPECT_EQ(process.waitTimeouts, (std::vector<std::uint32_t>{50, 50, 50}));
}

int openDescriptors()
{
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

TEST_F(MigratorRun, EveryPathClosesWhatItOpened)
{
    const int before = openDescriptors();

    EXPECT_EQ(detectStoreApp(), 1); // no powershell.exe yet
    EXPECT_EQ(openDescriptors(), before);

    fakePowershell("echo ZorvikMobileLLC.ZorvikMusic");
    EXPECT_EQ(detectStoreApp(), 0);
    EXPECT_EQ(openDescriptors(), before);

    fakePowershell("exec sleep 600");
    EXPECT_EQ(detectStoreApp(std::chrono::milliseconds(100)), 1);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(MigratorRun, OutputOverSeveralPollsIsReadInChunksOfAtMost1023Bytes)
{
    ScriptedProcess process;
    // The name straddles pieces, and the last piece arrives with the end.
    process.output = {std::string(3000, 'a'), std::string(5000, 'b') + "ZorvikMobile", "LLC.", "ZorvikMusic\r\n"};
    process.waitsBeforeEnd = 3;
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(detectStoreApp(), 0);

    std::uint32_t total = 0;
    for (const std::uint32_t size : process.readSizes) {
        EXPECT_LE(size, 1023u);
        total += size;
    }
    EXPECT_EQ(total, 3000u + 5000u + 12u + 4u + 13u);
    EXPECT_EQ(readAll(marker(profile_)), MARKER_CONTENT);
}

TEST_F(MigratorRun, AZeroByteEndsWhatIsTakenOfItsChunk)
{
    ScriptedProcess process;
    process.output = {std::string("Name\0ZorvikMobileLLC.ZorvikMusic", 32)};
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(detectStoreApp(), 0);

    EXPECT_FALSE(QFile::exists(marker(profile_)));
}

struct NeverEndsCase {
    const char* name;
    bool failWaits;
};

void PrintTo(const NeverEndsCase& c, std::ostream* os) { *os << c.name; }

class MigratorTimeOut : public MigratorRun, public ::testing::WithParamInterface<NeverEndsCase> {};

TEST_P(MigratorTimeOut, PowershellThatDoesNotEndIsStoppedAndTheRunEndsWithOne)
{
    ScriptedProcess process;
    process.waitsBeforeEnd = -1;
    process.failWaits = GetParam().failWaits;
    process.output = {"ZorvikMobileLLC.ZorvikMusic"};
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(runMigrator(std::chrono::milliseconds(100)), 1);

    EXPECT_TRUE(process.terminated);
    EXPECT_EQ(archivedLogContent(profile_),
              logOf({VERSION_LINE, WINDOWS_10, CHECKING, "powershell command did not finish in time, stopping it"}));
    EXPECT_FALSE(QFile::exists(marker(profile_)));
}

INSTANTIATE_TEST_SUITE_P(Cases, MigratorTimeOut,
                         ::testing::Values(NeverEndsCase{"StillRunning", false}, NeverEndsCase{"WaitFails", true}),
                         [](const ::testing::TestParamInfo<NeverEndsCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(MigratorRun, ARealPowershellThatNeverEndsIsKilled)
{
    const QString pidFile = profile_.path("pid");
    fakePowershell("echo $$ > '" + pidFile.toStdString() + "'; echo Name; exec sleep 600");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runMigrator(std::chrono::milliseconds(500)), 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_GE(elapsed, std::chrono::milliseconds(500));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    const pid_t pid = static_cast<pid_t>(std::atoi(readAll(pidFile).c_str()));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(archivedLogContent(profile_),
              logOf({VERSION_LINE, WINDOWS_10, CHECKING, "powershell command did not finish in time, stopping it"}));
}

TEST_F(MigratorRun, APowershellThatLeavesAProcessHoldingThePipeEndsTheRunAtOnce)
{
    // The process left behind keeps the write end open for 30 s: a drain
    // that read until the end of the pipe would wait for it.
    const QString pidFile = profile_.path("pid");
    fakePowershell("sleep 30 & echo $! > '" + pidFile.toStdString() + "'; echo ZorvikMobileLLC.ZorvikMusic");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runMigrator(), 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    const pid_t pid = static_cast<pid_t>(std::atoi(readAll(pidFile).c_str()));
    if (pid > 0)
        ::kill(pid, SIGKILL);
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_EQ(archivedLogContent(profile_), logOf({VERSION_LINE, WINDOWS_10, CHECKING, FOUND}));
    EXPECT_EQ(readAll(marker(profile_)), MARKER_CONTENT);
}

TEST_F(MigratorRun, APowershellThatNeverStopsWritingIsStoppedAtTheBound)
{
    // Faster than the migrator reads: the pipe never runs empty.
    fakePowershell("exec yes 'ZorvikMobileLLC.Other ZorvikMobileLLC.Other'");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runMigrator(std::chrono::milliseconds(500)), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(archivedLogContent(profile_),
              logOf({VERSION_LINE, WINDOWS_10, CHECKING, "powershell command did not finish in time, stopping it"}));
}

TEST_F(MigratorRun, TwoArchivesInTheSameSecondLeaveTheSecond)
{
    // Retried when the clock crosses a second between the two archives.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QString before = QString::fromStdString(migratorArchiveName(QDateTime::currentDateTime()));
        startMigratorLog();
        appendMigratorMessage("first");
        archiveMigratorLog();
        startMigratorLog();
        appendMigratorMessage("second");
        archiveMigratorLog();
        const QString after = QString::fromStdString(migratorArchiveName(QDateTime::currentDateTime()));
        if (before != after) {
            for (const QString& name : logsFolderEntries(profile_))
                QFile::remove(profile_.logsFolder() + QLatin1Char('/') + name);
            continue;
        }
        EXPECT_EQ(logsFolderEntries(profile_), QStringList{before});
        EXPECT_EQ(archivedLogContent(profile_), logOf({VERSION_LINE, "second"}));
        return;
    }
    FAIL() << "the clock never stayed within one second";
}

TEST_F(MigratorRun, ALogLineThatCannotBeWrittenIsSkippedSilently)
{
    // A folder where the log file belongs.
    QDir().mkpath(currentLog(profile_) + QStringLiteral("/inside"));
    EXPECT_NO_THROW(appendMigratorMessage("lost"));
    EXPECT_TRUE(QFileInfo(currentLog(profile_)).isDir());
}

TEST(MigratorArchiveName, IsTheVersionAndTheStampOfTheGivenTime)
{
    const QDateTime evening(QDate(2031, 12, 5), QTime(23, 7, 9));
    EXPECT_EQ(migratorArchiveName(evening), "ZorvikMusicMigrator-v9.5.2.2478-311205-230709.log");
    const QDateTime morning(QDate(2024, 1, 2), QTime(3, 4, 5));
    EXPECT_EQ(migratorArchiveName(morning), "ZorvikMusicMigrator-v9.5.2.2478-240102-030405.log");
}

TEST(MigratorText, WideToUtf8DropsUnpairedSurrogates)
{
    EXPECT_EQ(wideToUtf8(L"running"), "running");
    EXPECT_EQ(wideToUtf8(std::wstring{wchar_t(0xE9), wchar_t(0x20AC)}), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(wideToUtf8(std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}), "\xF0\x9F\x98\x80");
    EXPECT_EQ(wideToUtf8(std::wstring{L'a', wchar_t(0xDE00), L'b'}), "ab");
    EXPECT_EQ(wideToUtf8(L""), "");
}

TEST(StoreAppMatch, LargeOutputWithoutAFullMatchIsDecidedQuickly)
{
    // The first part of the name many times over, never followed by the rest.
    std::string output;
    while (output.size() < (1u << 20))
        output += "ZorvikMobileLLC.Other   Microsoft.WindowsCalculator\r\n";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(outputNamesStoreApp(output));
    EXPECT_TRUE(outputNamesStoreApp(output + "ZorvikMobileLLC\nZorvikMusic"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// The search over the output as it arrives gives the whole output's answer
// wherever the chunks are cut.
TEST(StoreAppSearch, AnswersAsTheWholeOutputWhereverItIsCut)
{
    const std::vector<std::string> outputs = {
        "",
        "ZorvikMobileLLC.ZorvikMusic",
        "Name\r\n----\r\nZorvikMobileLLC.ZorvikMusic_1.0\r\n",
        "ZorvikMobileLLC\nZorvikMusic",
        "ZorvikMobileLLCZorvikMusic",
        "zorvikmobilellc.zorvikmusic",
        "ZorvikMobileLLCZorvikMobileLLC.ZorvikMusic",
        "ZorvikMobileLLC.ZorvikMusi ZorvikMobileLLC.Other",
        "Microsoft.ZuneMusic\r\nZorvikMobileLLC_ZorvikMusic",
    };
    for (const std::string& output : outputs) {
        const bool whole = outputNamesStoreApp(output);
        for (std::size_t first = 0; first <= output.size(); ++first) {
            for (std::size_t second = first; second <= output.size(); ++second) {
                StoreAppSearch search;
                search.take(output.data(), first);
                search.take(output.data() + first, second - first);
                search.take(output.data() + second, output.size() - second);
                ASSERT_EQ(search.found(), whole) << output << " cut at " << first << " and " << second;
                ASSERT_EQ(search.anyOutput(), !output.empty());
            }
        }
    }
}

struct ChunksCase {
    const char* name;
    std::vector<std::string> chunks;
    bool anyOutput;
    bool found;
};

void PrintTo(const ChunksCase& c, std::ostream* os) { *os << c.name; }

class StoreAppSearchChunks : public ::testing::TestWithParam<ChunksCase> {};

TEST_P(StoreAppSearchChunks, AZeroByteEndsWhatIsTakenOfItsChunkOnly)
{
    StoreAppSearch search;
    for (const std::string& chunk : GetParam().chunks)
        search.take(chunk.data(), chunk.size());
    EXPECT_EQ(search.anyOutput(), GetParam().anyOutput);
    EXPECT_EQ(search.found(), GetParam().found);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreAppSearchChunks,
    ::testing::Values(ChunksCase{"NameAfterAZero", {"Name\0ZorvikMobileLLC.ZorvikMusic"s}, true, false},
                      ChunksCase{"ZeroFirst", {"\0ZorvikMobileLLC.ZorvikMusic"s}, false, false},
                      ChunksCase{"RestOfTheNameInTheNextChunk", {"ZorvikMobileLLC.Zorvik\0junk"s, "Music"}, true, true},
                      ChunksCase{"NextChunkBeginsWithAZero", {"ZorvikMobileLLC.Zorvik", "\0Music"s}, true, false},
                      ChunksCase{"ZeroCutsTheFirstPart", {"Zorvik\0Mobile"s, "MobileLLC.ZorvikMusic"}, true, true},
                      ChunksCase{"NameOverManyChunks", {"Zor", "vikMobileL", "L", "C", ".", "ZorvikMusic"}, true, true},
                      ChunksCase{"NameFarBehindALongOutput",
                                 {std::string(5000, 'x'), "ZorvikMobileLLC.", std::string(2000, 'y'), "ZorvikMusic"},
                                 true,
                                 false}),
    [](const ::testing::TestParamInfo<ChunksCase>& info) { return std::string(info.param.name); });

} // namespace
