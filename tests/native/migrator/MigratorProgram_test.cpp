// The real program, run as a child process with a profile of its own and a
// fake powershell.exe first on PATH.

#include "MigratorFiles.h"

#include "ChildProgram.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegExp>

#include <gtest/gtest.h>

using namespace MigratorTest;

namespace {

// A zone far from UTC, so that a stamp in UTC cannot pass for local time.
const char* const TIME_ZONE = "TZ=XYZ-14";
const qint64 ZONE_OFFSET_SECONDS = 14 * 3600;

class MigratorProgram : public ::testing::Test {
protected:
    explicit MigratorProgram(const QString& homeName = QString()) : profile_(homeName) {}

    // Runs the migrator to its end; returns its exit code.
    int run(const QString& path = QString(), const char* locale = "LC_ALL=C")
    {
        QProcessEnvironment environment;
        environment.insert("HOME", profile_.home());
        environment.insert("PATH", path.isNull() ? profile_.bin() + QStringLiteral(":/usr/bin:/bin") : path);
        for (const char* variable : {TIME_ZONE, locale}) {
            const QStringList nameAndValue = QString::fromUtf8(variable).split('=');
            environment.insert(nameAndValue[0], nameAndValue[1]);
        }

        startStamp_ = localStampNow();
        TestSupport::ChildProgram migrator(TestSupport::testProgram("zorvik-music-migrator"), {}, environment);
        const int exitCode = migrator.finish();
        maxResidentKiB_ = migrator.maxResidentKiB();
        endStamp_ = localStampNow();
        EXPECT_EQ(migrator.errors().toStdString(), "");
        return exitCode;
    }

    static QString localStampNow()
    {
        return QDateTime::currentDateTimeUtc().addSecs(ZONE_OFFSET_SECONDS).toString(QStringLiteral("yyMMdd-hhmmss"));
    }

    // The archived name carries the child's local time of its end.
    void expectStampedDuringTheRun(const QString& archived) const
    {
        const QString stamp = archived.mid(QStringLiteral("ZorvikMusicMigrator-v9.5.2.2478-").size(), 13);
        EXPECT_GE(stamp, startStamp_) << archived.toStdString();
        EXPECT_LE(stamp, endStamp_) << archived.toStdString();
    }

    void makeLogsFolder() const { QDir().mkpath(profile_.logsFolder()); }
    void fakePowershell(const std::string& body) const { profile_.fakeProgram(QStringLiteral("powershell.exe"), body); }

    TestSupport::TempProfile profile_;
    QString startStamp_, endStamp_;
    long maxResidentKiB_ = 0;
};

const std::string TABLE_HEAD = "echo; echo Name; echo ----; echo Microsoft.WindowsCalculator;";

struct OutputCase {
    const char* name;
    std::string script;
    bool found;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class MigratorProgramOutput : public MigratorProgram, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(MigratorProgramOutput, LooksForThePackageNameAnywhereInTheOutput)
{
    makeLogsFolder();
    fakePowershell(GetParam().script);

    EXPECT_EQ(run(), 0);

    const QString archived = archivedLog(profile_);
    EXPECT_EQ(readAll(profile_.logsFolder() + "/" + archived),
              logOf({VERSION_LINE, WINDOWS_10, CHECKING, GetParam().found ? FOUND : NOT_FOUND}));
    expectStampedDuringTheRun(archived);
    EXPECT_EQ(readAll(marker(profile_)), GetParam().found ? MARKER_CONTENT : "<missing>");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MigratorProgramOutput,
    ::testing::Values(OutputCase{"StoreEditionListed", TABLE_HEAD + "echo ZorvikMobileLLC.ZorvikMusic; echo", true},
                      OutputCase{"OtherPackagesOnly", TABLE_HEAD + "echo Microsoft.ZuneMusic", false},
                      OutputCase{"OtherLetterCase", TABLE_HEAD + "echo zorvikmobilellc.zorvikmusic", false},
                      OutputCase{"OtherCharacterBetweenTheParts", TABLE_HEAD + "echo ZorvikMobileLLC_ZorvikMusic",
                                 true},
                      OutputCase{"NothingBetweenTheParts", TABLE_HEAD + "echo ZorvikMobileLLCZorvikMusic", false},
                      OutputCase{"NameSplitAcrossLines", TABLE_HEAD + "printf 'ZorvikMobileLLC\\nZorvikMusic'", true},
                      OutputCase{"NoOutputAtAll", "exit 0", false},
                      OutputCase{"ErrorStreamOnlyWithoutTheName", "{ " + TABLE_HEAD + " } >&2; exit 3", false},
                      OutputCase{"ErrorStreamCarriesTheName", "echo ZorvikMobileLLC.ZorvikMusic >&2; exit 3", true},
                      // More than the pipe holds, in bursts, the name at the very end.
                      OutputCase{"LargeOutputInBursts",
                                 "for i in 1 2 3 4; do head -c 51200 /dev/zero | tr '\\0' x; sleep 0.1; done;"
                                 " head -c 150000 /dev/zero | tr '\\0' y; echo ' ZorvikMobileLLC.ZorvikMusic'",
                                 true},
                      OutputCase{"LargeOutputWithoutTheName", "head -c 204800 /dev/zero | tr '\\0' x", false}),
    [](const ::testing::TestParamInfo<OutputCase>& info) { return std::string(info.param.name); });

TEST_F(MigratorProgram, OutputFasterThanItIsSearchedKeepsMemoryFlat)
{
    makeLogsFolder();
    // Eight writers, 256 MiB in all, the name at the very end.
    fakePowershell("for i in 1 2 3 4 5 6 7 8; do head -c 33554432 /dev/zero | tr '\\0' x & done; wait;"
                   " echo ' ZorvikMobileLLC.ZorvikMusic'");

    EXPECT_EQ(run(), 0);

    EXPECT_EQ(readAll(marker(profile_)), MARKER_CONTENT);
    // Far below the output, whatever the sanitizers add.
    EXPECT_LT(maxResidentKiB_, 128 * 1024);
}

TEST_F(MigratorProgram, StartsPowershellWithTheListCommandAndNoInput)
{
    makeLogsFolder();
    const std::string args = profile_.path("args").toStdString();
    const std::string input = profile_.path("input").toStdString();
    fakePowershell("for a in \"$@\"; do echo \"$a\"; done > '" + args + "'; cat > '" + input + "'");

    EXPECT_EQ(run(), 0);

    EXPECT_EQ(readAll(profile_.path("args")), "Get-AppxPackage\n|\nft\nName\n-AutoSize\n");
    EXPECT_EQ(readAll(profile_.path("input")), "");
}

TEST_F(MigratorProgram, WithoutPowershellTheRunFailsAndTheLogIsStillArchived)
{
    makeLogsFolder();

    EXPECT_EQ(run(profile_.bin()), 1);

    EXPECT_EQ(archivedLogContent(profile_),
              logOf({VERSION_LINE, WINDOWS_10, CHECKING, "cannot run the powershell command"}));
    EXPECT_FALSE(QFile::exists(marker(profile_)));
}

TEST_F(MigratorProgram, ArchiveStampIsAsciiDigitsWhateverTheUsersLocale)
{
    makeLogsFolder();
    EXPECT_EQ(run(profile_.bin(), "LC_ALL=ar_EG.UTF-8"), 1);
    const QString archived = archivedLog(profile_);
    EXPECT_TRUE(QRegExp(QStringLiteral("ZorvikMusicMigrator-v9\\.5\\.2\\.2478-[0-9]{6}-[0-9]{6}\\.log"))
                    .exactMatch(QFileInfo(archived).fileName()))
        << archived.toStdString();
}

// A home whose name is not ASCII, the child in the C locale: the log's path
// must still name the user's folder.
class MigratorProgramInAnAccentedHome : public MigratorProgram {
protected:
    MigratorProgramInAnAccentedHome()
        : MigratorProgram(QString::fromUtf8("J\xc3\xbcrgen \xc3\x98"
                                            "deg\xc3\xa5rd"))
    {
    }
};

TEST_F(MigratorProgramInAnAccentedHome, LogsIntoTheUsersFolderUnderTheCLocale)
{
    makeLogsFolder();
    fakePowershell(TABLE_HEAD + "echo ZorvikMobileLLC.ZorvikMusic; echo");

    EXPECT_EQ(run(QString(), "LC_ALL=C"), 0);

    EXPECT_EQ(archivedLogContent(profile_), logOf({VERSION_LINE, WINDOWS_10, CHECKING, FOUND}));
    EXPECT_EQ(readAll(marker(profile_)), MARKER_CONTENT);
}

TEST_F(MigratorProgram, LogOfAnEarlierRunIsDeletedUnsent)
{
    makeLogsFolder();
    writeAll(currentLog(profile_), "left by a crashed run\r\n");
    fakePowershell("exit 0");

    EXPECT_EQ(run(), 0);

    EXPECT_EQ(archivedLogContent(profile_), logOf({VERSION_LINE, WINDOWS_10, CHECKING, NOT_FOUND}));
}

TEST_F(MigratorProgram, WithoutTheLogsFolderNothingIsLoggedButTheMarkerIsWritten)
{
    QDir().mkpath(profile_.productRoot());
    fakePowershell("echo ZorvikMobileLLC.ZorvikMusic");

    EXPECT_EQ(run(), 0);

    EXPECT_EQ(readAll(marker(profile_)), MARKER_CONTENT);
    EXPECT_FALSE(QFileInfo::exists(profile_.logsFolder()));
    EXPECT_EQ(QDir(profile_.productRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("WinStoreDetected.txt")});
}

TEST_F(MigratorProgram, WithoutTheProductFolderNothingIsCreatedAndTheExitCodeStands)
{
    fakePowershell("echo ZorvikMobileLLC.ZorvikMusic");

    EXPECT_EQ(run(), 0);
    EXPECT_FALSE(QFileInfo::exists(profile_.productRoot()));

    EXPECT_EQ(run(profile_.path("no-such-folder")), 1);
    EXPECT_FALSE(QFileInfo::exists(profile_.productRoot()));
}

struct EarlierMarkerCase {
    const char* name;
    const char* script;
    const char* markerAfter;
};

void PrintTo(const EarlierMarkerCase& c, std::ostream* os) { *os << c.name; }

class MigratorProgramEarlierMarker : public MigratorProgram, public ::testing::WithParamInterface<EarlierMarkerCase> {};

TEST_P(MigratorProgramEarlierMarker, IsRewrittenWhenFoundAgainAndLeftAloneOtherwise)
{
    makeLogsFolder();
    writeAll(marker(profile_), "an older and longer marker text");
    fakePowershell(GetParam().script);

    EXPECT_EQ(run(), 0);

    EXPECT_EQ(readAll(marker(profile_)), GetParam().markerAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MigratorProgramEarlierMarker,
    ::testing::Values(EarlierMarkerCase{"FoundAgain", "echo ZorvikMobileLLC.ZorvikMusic", MARKER_CONTENT},
                      EarlierMarkerCase{"NotFound", "echo Microsoft.ZuneMusic", "an older and longer marker text"}),
    [](const ::testing::TestParamInfo<EarlierMarkerCase>& info) { return std::string(info.param.name); });

} // namespace
