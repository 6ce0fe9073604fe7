// The migrator run in this process, with scripted platform facilities where
// the system cannot be made to fail, and with a real fake PowerShell where
// the time limit is shortened.

#include "Migrator.h"
#include "MigratorLog.h"
#include "MigratorProfile.h"
#include "StoreDetection.h"

#include "Platform/Platform.h"
#include "Platform/Process.h"
#include "Platform/Version.h"
#include "ScriptedPlatform.h"
#include "ScriptedProcess.h"

#include <QDate>
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

// Points HOME (and so Qt's data location) at a temporary profile.
class Environment {
public:
    Environment(const char* name, const QString& value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        had_ = std::getenv(name) != nullptr;
        if (value.isNull())
            ::unsetenv(name);
        else
            ::setenv(name, value.toLocal8Bit().constData(), 1);
    }
    ~Environment()
    {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

class MigratorRun : public ::testing::Test {
protected:
    void SetUp() override { profile_.makeLogsFolder(); }

    Profile profile_;
    Environment home_{"HOME", profile_.home()};
    Environment dataHome_{"XDG_DATA_HOME", QString()};
};

TEST_F(MigratorRun, LocationsFollowTheDataLocation)
{
    EXPECT_EQ(musicDataDirectory().string(), profile_.productRoot().toStdString());
    EXPECT_EQ(migratorLogPath().string(), profile_.currentLog().toStdString());
}

struct OlderWindowsCase {
    const char* name;
    std::uint32_t major;
    bool queryFails;
};

class MigratorOlderWindows : public MigratorRun, public ::testing::WithParamInterface<OlderWindowsCase> {};

TEST_P(MigratorOlderWindows, OnlyLogsItAndStartsNoPowershell)
{
    TestSupport::ScriptedVersion windows(GetParam().major, 3, Tellan::Platform::VER_NT_WORKSTATION);
    windows.failGetVersion = GetParam().queryFails;
    ScopedInstall<Version> version(&windows);
    ScriptedProcess process;
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(runMigrator(), 0);

    EXPECT_EQ(profile_.archivedLogContent(), logOf({VERSION_LINE, "not running in windows 10 or later"}));
    EXPECT_EQ(process.createPipeCalls, 0);
    EXPECT_EQ(process.createProcessCalls, 0);
}

// A failed query leaves the major version 0, even on Windows 10.
INSTANTIATE_TEST_SUITE_P(Cases, MigratorOlderWindows,
                         ::testing::Values(OlderWindowsCase{"Windows81", 6, false},
                                           OlderWindowsCase{"FailedQuery", 10, true}),
                         [](const ::testing::TestParamInfo<OlderWindowsCase>& info) { return std::string(info.param.name); });

struct CreationFailureCase {
    const char* name;
    bool pipeFails;
    const char* message;
    int processCalls;
    std::vector<ScriptedProcess::Handle> closed;
};

class MigratorCreationFailure : public MigratorRun, public ::testing::WithParamInterface<CreationFailureCase> {};

TEST_P(MigratorCreationFailure, EndsTheRunWithOneAndClosesWhatWasOpened)
{
    ScriptedProcess process;
    process.failCreatePipe = GetParam().pipeFails;
    process.failCreateProcess = !GetParam().pipeFails;
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(runMigrator(), 1);

    EXPECT_EQ(profile_.archivedLogContent(), logOf({VERSION_LINE, WINDOWS_10, CHECKING, GetParam().message}));
    EXPECT_EQ(process.createProcessCalls, GetParam().processCalls);
    EXPECT_EQ(process.closed, GetParam().closed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MigratorCreationFailure,
    ::testing::Values(CreationFailureCase{"Pipe", true, "cannot create pipe to get output of powershell command", 0, {}},
                      CreationFailureCase{"Process", false, "cannot run the powershell command", 1,
                                          {ScriptedProcess::WRITE_END, ScriptedProcess::READ_END}}),
    [](const ::testing::TestParamInfo<CreationFailureCase>& info) { return std::string(info.param.name); });

TEST_F(MigratorRun, PowershellRunsHiddenWithBothOutputsOnThePipe)
{
    ScriptedProcess process;
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(detectStoreApp(), 0);

    using namespace Tellan::Platform;
    EXPECT_TRUE(process.pipeInheritable);
    EXPECT_EQ(process.commandLine, L"powershell.exe Get-AppxPackage | ft Name -AutoSize");
    EXPECT_TRUE(process.inheritHandles);
    EXPECT_EQ(process.creationFlags, 0x10u);
    EXPECT_EQ(process.startup.flags, 0x101u);
    EXPECT_EQ(process.startup.showWindow, 0u);
    EXPECT_EQ(process.startup.stdInput, NO_HANDLE);
    EXPECT_EQ(process.startup.stdOutput, ScriptedProcess::WRITE_END);
    EXPECT_EQ(process.startup.stdError, ScriptedProcess::WRITE_END);
    EXPECT_EQ(process.waitTimeouts, std::vector<std::uint32_t>{50});
    EXPECT_EQ(process.closed, (std::vector<ScriptedProcess::Handle>{ScriptedProcess::WRITE_END, ScriptedProcess::READ_END,
                                                                    ScriptedProcess::PROCESS, ScriptedProcess::THREAD}));
    EXPECT_FALSE(process.terminated);
}

TEST_F(MigratorRun, OutputOverSeveralPollsIsReadInChunksOfAtMost1023Bytes)
{
    ScriptedProcess process;
    // The name straddles pieces, and the last piece arrives with the end.
    process.output = {std::string(3000, 'a'), std::string(5000, 'b') + "ZorvikMobile", "LLC.", "ZorvikMusic\r\n"};
    process.waitsBeforeEnd = 3;
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(detectStoreApp(), 0);

    EXPECT_EQ(process.waitTimeouts.size(), 4u);
    std::uint32_t total = 0;
    for (const std::uint32_t size : process.readSizes) {
        EXPECT_LE(size, 1023u);
        total += size;
    }
    EXPECT_EQ(total, 3000u + 5000u + 12u + 4u + 13u);
    EXPECT_EQ(readAll(profile_.marker()), MARKER_CONTENT);
}

TEST_F(MigratorRun, AZeroByteEndsWhatIsTakenOfItsChunk)
{
    ScriptedProcess process;
    process.output = {std::string("Name\0ZorvikMobileLLC.ZorvikMusic", 32)};
    ScopedInstall<Process> installProcess(&process);

    EXPECT_EQ(detectStoreApp(), 0);

    EXPECT_FALSE(QFile::exists(profile_.marker()));
}

struct NeverEndsCase {
    const char* name;
    bool failWaits;
};

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
    EXPECT_EQ(process.closed.size(), 4u);
    EXPECT_EQ(profile_.archivedLogContent(),
              logOf({VERSION_LINE, WINDOWS_10, CHECKING, "powershell command did not finish in time, stopping it"}));
    EXPECT_FALSE(QFile::exists(profile_.marker()));
}

INSTANTIATE_TEST_SUITE_P(Cases, MigratorTimeOut,
                         ::testing::Values(NeverEndsCase{"StillRunning", false}, NeverEndsCase{"WaitFails", true}),
                         [](const ::testing::TestParamInfo<NeverEndsCase>& info) { return std::string(info.param.name); });

TEST_F(MigratorRun, ARealPowershellThatNeverEndsIsKilled)
{
    const QString pidFile = profile_.path("pid");
    profile_.fakePowershell("echo $$ > '" + pidFile.toStdString() + "'; echo Name; exec sleep 600");
    Environment path("PATH", profile_.bin() + QStringLiteral(":/usr/bin:/bin"));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runMigrator(std::chrono::milliseconds(500)), 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_GE(elapsed, std::chrono::milliseconds(500));
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    const pid_t pid = static_cast<pid_t>(std::atoi(readAll(pidFile).c_str()));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(profile_.archivedLogContent(),
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
            for (const QString& name : profile_.logsFolderEntries())
                QFile::remove(profile_.logsFolder() + QLatin1Char('/') + name);
            continue;
        }
        EXPECT_EQ(profile_.logsFolderEntries(), QStringList{before});
        EXPECT_EQ(profile_.archivedLogContent(), logOf({VERSION_LINE, "second"}));
        return;
    }
    FAIL() << "the clock never stayed within one second";
}

TEST_F(MigratorRun, ALogLineThatCannotBeWrittenIsSkippedSilently)
{
    // A folder where the log file belongs.
    QDir().mkpath(profile_.currentLog() + QStringLiteral("/inside"));
    EXPECT_NO_THROW(appendMigratorMessage("lost"));
    EXPECT_TRUE(QFileInfo(profile_.currentLog()).isDir());
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

} // namespace
