#include "HelperLogger.h"

#include "FileSystem/FileInUse.h"
#include "Logging/Log.h"
#include "Settings/SharedStorage.h"
#include "Storage/Storage.h"

#include "Platform/Platform.h"
#include "RecordingSink.h"
#include "ScriptedPlatform.h"
#include "TempProfile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Tellan::HelperLogger;

namespace {

typedef std::vector<std::string> Lines;

const char kDeviceId[] = "ZRVK01da39a3ee5e6b4b0d3255bfef95601890afd80709";
const char kCurrentName[] = "ZorvikMusicHelper.log";
const quint32 kLimit = 10485760;

std::string readFile(const QString& path)
{
    std::ifstream in(QFile::encodeName(path).toStdString(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file's lines without their CR LF; a line feed without its CR, or a
// last line without a line end, shows as a line of its own so that the
// comparison fails.
Lines fileLines(const std::string& bytes)
{
    Lines lines;
    std::string::size_type start = 0, end;
    while ((end = bytes.find('\n', start)) != std::string::npos) {
        if (end == start || bytes[end - 1] != '\r')
            lines.push_back("<LF without CR>");
        else
            lines.push_back(bytes.substr(start, end - 1 - start));
        start = end + 1;
    }
    if (start != bytes.size())
        lines.push_back("<no line end> " + bytes.substr(start));
    return lines;
}

// True when the lines from `at` on begin with a whole header.
bool headerAt(const Lines& lines, std::size_t at)
{
    static const QRegularExpression started(
        QStringLiteral("^[0-9]{6}:[0-9]{6} TellanHelper : I Logger : LogFileStarted : line [0-9]+, $"));
    return lines.size() >= at + 12 && lines[at] == "[SystemInfo]" && lines[at + 1] == "OsType: win"
           && lines[at + 3] == "NativeBuild: 9.5.2.2478" && lines[at + 7] == "PrimaryDisk: -1"
           && lines[at + 8] == std::string("DeviceId: ") + kDeviceId && lines[at + 9].empty()
           && lines[at + 10] == "[Logs]" && started.match(QString::fromStdString(lines[at + 11])).hasMatch();
}

// The lines after the header, when the file begins with one.
Lines afterHeader(const Lines& lines)
{
    if (!headerAt(lines, 0))
        return Lines{"<no header>"};
    return Lines(lines.begin() + 12, lines.end());
}

// A helper's profile with its Logs folder; the sink the test installs is
// replaced by a recording one before the profile goes, which closes its file.
class HelperLoggerTest : public ::testing::Test {
protected:
    HelperLoggerTest()
    {
        TestSupport::installRecordingSink();
        Tellan::SharedStorage::saveDeviceId(kDeviceId);
        Tellan::Storage::InitStorageLocations();
    }
    ~HelperLoggerTest() override { TestSupport::installRecordingSink(); }

    // Installs a new sink as the helper does; maxFileSize is set before the
    // sink takes over.
    HelperLogger& install(quint32 maxFileSize = kLimit)
    {
        auto* sink = new HelperLogger();
        sink->maxFileSize = maxFileSize;
        Tellan::Logging::instance().setLogger(sink);
        return *sink;
    }

    QString logs() const { return Tellan::Storage::logsDirectory(); }
    QString currentPath() const { return logs() + "/" + kCurrentName; }
    bool currentExists() const { return QFileInfo::exists(currentPath()); }
    Lines current() const { return fileLines(readFile(currentPath())); }
    // Archived names, oldest first.
    QStringList archived() const
    {
        static const QRegularExpression shape(
            QStringLiteral("^ZorvikMusicHelper-v9\\.5\\.2\\.2478-[0-9]{6}-[0-9]{6}\\.log$"));
        QStringList names = QDir(logs()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
        names.removeAll(kCurrentName);
        for (const QString& name : names)
            EXPECT_TRUE(shape.match(name).hasMatch()) << name.toStdString();
        return names;
    }
    Lines archivedLines(const QString& name) const { return fileLines(readFile(logs() + "/" + name)); }

    TestSupport::TempProfile profile;
};

} // namespace

TEST(HelperLoggerNames, ArchivedNameCarriesVersionAndUtcStamp)
{
    EXPECT_EQ(HelperLogger::archivedFileName("ZorvikMusicHelper", 1696514102),
              "ZorvikMusicHelper-v9.5.2.2478-231005-135502.log");
    EXPECT_EQ(HelperLogger::archivedFileName("ZorvikMusicHelper", 946684799),
              "ZorvikMusicHelper-v9.5.2.2478-991231-235959.log");
}

TEST_F(HelperLoggerTest, NewFileBeginsWithTheHeaderAndTheLinesLoggedWhileItWasBuilt)
{
    TestSupport::ScriptedVersion version(6, 4, Tellan::Platform::VER_NT_WORKSTATION);
    Tellan::Platform::ScopedInstall<Tellan::Platform::Version> installVersion(&version);
    install();
    TLOG(INFO, "helper") << "first line after the sink";

    const Lines lines = current();
    ASSERT_TRUE(headerAt(lines, 0)) << readFile(currentPath());
    EXPECT_EQ(lines[2], "OsVersion: Unknown_6_4");
    const Lines after = afterHeader(lines);
    ASSERT_EQ(after.size(), 3u) << readFile(currentPath());
    EXPECT_NE(after[0].find(" TellanHelper : I WindowsVersion : windowsVersionFound : "), std::string::npos);
    EXPECT_NE(after[1].find(" TellanHelper : E WindowsVersion : invalidWindowsVersionFound : dwMajorVersion = 6 , "),
              std::string::npos);
    EXPECT_NE(after[2].find("Helper INFO in helper line "), std::string::npos);
    EXPECT_NE(after[2].find(" : first line after the sink"), std::string::npos);
    EXPECT_TRUE(archived().isEmpty());
}

TEST_F(HelperLoggerTest, WhatStandsAtTheCurrentNameAtStartIsArchivedFirst)
{
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "folder" : "file");
        TestSupport::installRecordingSink();
        for (const QString& name : archived())
            QDir(logs() + "/" + name).exists() ? QDir(logs() + "/" + name).removeRecursively()
                                               : QFile::remove(logs() + "/" + name);
        QFile::remove(currentPath());
        if (folder) {
            TestSupport::writeFile(currentPath() + "/inside", 3);
        } else {
            QFile file(currentPath());
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("line of a crashed run\r\n");
        }
        const std::time_t before = std::time(nullptr);
        install();
        const std::time_t after = std::time(nullptr);

        const QStringList names = archived();
        ASSERT_EQ(names.size(), 1);
        const std::string name = names[0].toStdString();
        EXPECT_TRUE(name == HelperLogger::archivedFileName("ZorvikMusicHelper", before)
                    || name == HelperLogger::archivedFileName("ZorvikMusicHelper", after))
            << name;
        if (folder)
            EXPECT_TRUE(QFileInfo::exists(logs() + "/" + names[0] + "/inside"));
        else
            EXPECT_EQ(archivedLines(names[0]), Lines{"line of a crashed run"});
        EXPECT_TRUE(headerAt(current(), 0));
    }
}
