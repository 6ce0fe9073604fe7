#include "HelperLogger.h"
#include "LogFile.h"

#include "Logging/Log.h"
#include "LongPath/FileInUse.h"
#include "Settings/SharedStorage.h"
#include "Storage/Storage.h"

#include "ChildProgram.h"
#include "Platform/Platform.h"
#include "RecordingSink.h"
#include "ScriptedAppendFile.h"
#include "ScriptedFileShare.h"
#include "ScriptedFiles.h"
#include "ScriptedMachine.h"
#include "ScriptedPlatform.h"
#include "TempProfile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>

#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using Tellan::HelperLogger;

namespace {

typedef std::vector<std::string> Lines;

const char kDeviceId[] = "ZRVK01da39a3ee5e6b4b0d3255bfef95601890afd80709";
const char kCurrentName[] = "ZorvikMusicHelper.log";
const quint32 kLimit = 10485760;

std::string readFile(const QString& path)
{
    std::ifstream in(path.toUtf8().toStdString(), std::ios::binary);
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

bool contains(const Lines& lines, const std::string& text)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// Bytes the sink counted into a file: the header as on disk, every later
// line as logged, without its CR.
std::uint64_t countedBytes(const std::string& bytes) { return bytes.size() - (fileLines(bytes).size() - 12); }

// The start of the report of `lines` lines lost.
std::string lostLines(unsigned lines)
{
    return " TellanHelper : W HelperLogger : LogLinesLost : function = "
           "Tellan>`anonymous-namespace'>lostLinesReport , lines = "
           + std::to_string(lines) + " : line ";
}

// A line of exactly `size` bytes, line feed included.
std::string lineOfSize(std::size_t size, char fill) { return std::string(size - 1, fill) + "\n"; }

// A small file system of its own for a folder, which a filler fills to the
// last byte. Its sink is replaced before it goes.
class SmallDisk {
public:
    explicit SmallDisk(const QString& folder)
        : folder_(folder), mounted_(::mount("tmpfs", folder.toUtf8().constData(), "tmpfs", 0, "size=64k") == 0),
          error_(errno)
    {
    }
    ~SmallDisk()
    {
        if (!mounted_)
            return;
        TestSupport::installRecordingSink();
        ::umount2(folder_.toUtf8().constData(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    int error() const { return error_; }

    bool fill()
    {
        std::FILE* f = std::fopen(filler().toUtf8().constData(), "wb");
        if (f == nullptr)
            return false;
        const std::string block(4096, 'f');
        std::setvbuf(f, nullptr, _IONBF, 0);
        while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {}
        std::fclose(f);
        return true;
    }
    bool makeRoom() { return QFile::remove(filler()); }
    // Frees `bytes` of the filler's end.
    bool makeRoom(qint64 bytes)
    {
        QFile file(filler());
        return file.resize(file.size() - bytes);
    }

private:
    // Hidden, so that it is no archived log.
    QString filler() const { return folder_ + "/.filler"; }

    QString folder_;
    bool mounted_;
    int error_;
};

// Machine facts whose memory probe throws while `throws` is above zero, and
// that count the probes: one for every header built.
class ThrowingMachine : public TestSupport::ScriptedMachine {
public:
    bool globalMemoryStatusEx(Tellan::Platform::MemoryStatusEx* status) override
    {
        ++probes;
        if (throws > 0) {
            --throws;
            throw std::runtime_error("memory probe failed");
        }
        return TestSupport::ScriptedMachine::globalMemoryStatusEx(status);
    }
    int throws = 0;
    int probes = 0;
};

// A child program of this folder, driven a line at a time.
class Child {
public:
    explicit Child(const QStringList& arguments)
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(ZORVIK_TEST_BIN_DIR "/helperlogger_child", arguments);
    }
    ~Child()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(-1);
        }
    }

    // The next line it prints, without its line feed; empty when it ends.
    std::string nextLine()
    {
        while (!process.canReadLine())
            if (!process.waitForReadyRead(60000))
                return std::string();
        return process.readLine().trimmed().toStdString();
    }
    // Sends one command and waits for its "ok".
    bool command(const std::string& text)
    {
        process.write((text + "\n").c_str());
        return nextLine() == "ok";
    }
    int finish()
    {
        process.closeWriteChannel();
        if (!process.waitForFinished(60000))
            return -1;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QProcess process;
};

// Runs a program to its end; its exit code.
int run(const QString& program, const QStringList& arguments)
{
    TestSupport::ChildProgram child(program, arguments);
    return child.finish();
}

std::size_t count(const Lines& lines, const std::string& text)
{
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
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

    // Installs a new sink as the helper does, on the test's clock;
    // maxFileSize is set before the sink takes over.
    HelperLogger& install(quint32 maxFileSize = kLimit)
    {
        auto* sink = new HelperLogger([this] { return now.load(); });
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
    // Replaces the sink and empties the Logs folder.
    void startOver()
    {
        TestSupport::installRecordingSink();
        QDir(logs()).removeRecursively();
        QDir().mkpath(logs());
    }

    // Writes one line that makes the current file end `remainder` bytes into
    // a block of 4096, so that what fits once the disk is full is known.
    void padTo(HelperLogger& sink, std::size_t remainder)
    {
        const std::size_t onDisk = readFile(currentPath()).size();
        std::size_t pad = (remainder + 2 * 4096 - onDisk % 4096 - 1) % 4096;
        if (pad == 0)
            pad = 4096;
        sink.write(lineOfSize(pad, 'p'));
        ASSERT_EQ(readFile(currentPath()).size() % 4096, remainder);
    }

    std::string archivedName(std::time_t at) const { return HelperLogger::archivedFileName("ZorvikMusicHelper", at); }

    TestSupport::TempProfile profile;
    // The sink's clock: it moves only when a test moves it.
    std::atomic<std::time_t> now{1696514102};
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

TEST_F(HelperLoggerTest, AtFirstStartTheLinesLoggedBeforeTheSinkFollowTheHeader)
{
    // A process of its own, so that the dispatcher still keeps the lines
    // logged before any sink.
    Child helper({"helper", kDeviceId});
    ASSERT_EQ(helper.nextLine(), "ready");
    ASSERT_TRUE(helper.command("log after the sink"));
    EXPECT_EQ(helper.finish(), 0);

    const Lines after = afterHeader(current());
    const char* const expected[] = {
        " TellanHelper : W TellanStorage : rebrandToNewMusicDirectory : ",
        "Helper INFO in SharedStorage line ",
        "Helper INFO in child line ",
        " TellanHelper : I WindowsVersion : windowsVersionFound : ",
        "Helper INFO in child line ",
    };
    ASSERT_EQ(after.size(), std::size(expected)) << readFile(currentPath());
    for (std::size_t i = 0; i < after.size(); ++i)
        EXPECT_NE(after[i].find(expected[i]), std::string::npos) << after[i];
    EXPECT_NE(after[2].find(" : before the sink"), std::string::npos);
    EXPECT_NE(after[4].find(" : after the sink"), std::string::npos);
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
        install();

        const QStringList names = archived();
        ASSERT_EQ(names.size(), 1);
        EXPECT_EQ(names[0].toStdString(), archivedName(now));
        if (folder)
            EXPECT_TRUE(QFileInfo::exists(logs() + "/" + names[0] + "/inside"));
        else
            EXPECT_EQ(archivedLines(names[0]), Lines{"line of a crashed run"});
        EXPECT_TRUE(headerAt(current(), 0));
    }
}

TEST_F(HelperLoggerTest, RotatesWhenTheCountedBytesReachTheLimitExactly)
{
    HelperLogger& sink = install();
    std::uint64_t counted = countedBytes(readFile(currentPath()));
    char fill = 'a';
    while (counted < kLimit - 1) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(kLimit - 1 - counted, 1 << 20));
        sink.write(lineOfSize(size, fill++));
        counted += size;
    }
    EXPECT_TRUE(archived().isEmpty()) << "one byte short of the limit";

    sink.write("\n");
    const QStringList names = archived();
    ASSERT_EQ(names.size(), 1);
    const std::string full = readFile(logs() + "/" + names[0]);
    EXPECT_EQ(countedBytes(full), kLimit);
    EXPECT_TRUE(headerAt(fileLines(full), 0));
    EXPECT_EQ(fileLines(full).back(), "");

    sink.write("first line of the next file\n");
    const Lines next = afterHeader(current());
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(next.back(), "first line of the next file");
    EXPECT_EQ(archived().size(), 1);
}

TEST_F(HelperLoggerTest, TwoThreadsLoggingAcrossRotationsPutEveryLineInExactlyOneFile)
{
    install(64 * 1024);
    const int perThread = 4000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < perThread; ++i)
                TLOG(INFO, "writer") << "thread " << t << " line " << i << " end";
        });
    for (auto& thread : threads)
        thread.join();
    Tellan::Logging::instance().closeLogger();
    EXPECT_FALSE(currentExists());

    // Archived names follow the order of archiving, so the files in name
    // order hold each thread's lines in the order logged.
    const QStringList names = archived();
    EXPECT_GE(names.size(), 5);
    static const QRegularExpression pattern(QStringLiteral(" : thread ([01]) line ([0-9]+) end$"));
    int next[2] = {0, 0};
    for (const QString& name : names) {
        const Lines lines = archivedLines(name);
        ASSERT_TRUE(headerAt(lines, 0)) << name.toStdString();
        for (std::size_t i = 12; i < lines.size(); ++i) {
            const auto match = pattern.match(QString::fromStdString(lines[i]));
            if (!match.hasMatch())
                continue;
            const int t = match.captured(1).toInt();
            ASSERT_EQ(match.captured(2).toInt(), next[t]) << name.toStdString() << ": " << lines[i];
            ++next[t];
        }
    }
    EXPECT_EQ(next[0], perThread);
    EXPECT_EQ(next[1], perThread);
}

TEST_F(HelperLoggerTest, AfterCloseOnlyArchivedNamesRemainUntilALineReachesTheLimit)
{
    HelperLogger& sink = install();
    TLOG(INFO, "helper") << "before close";
    Tellan::Logging::instance().closeLogger();
    EXPECT_FALSE(currentExists());
    ASSERT_EQ(archived().size(), 1);
    const QString closedFile = archived()[0];
    EXPECT_TRUE(contains(archivedLines(closedFile), " : before close"));

    TLOG(INFO, "helper") << "after close";
    EXPECT_FALSE(currentExists());
    EXPECT_EQ(archived(), QStringList{closedFile});
    EXPECT_FALSE(contains(archivedLines(closedFile), "after close"));

    // Lost, but counted: reaching the limit opens a new current file.
    sink.write(lineOfSize(kLimit, 'x'));
    ASSERT_TRUE(currentExists());
    const Lines lines = current();
    EXPECT_TRUE(headerAt(lines, 0));
    EXPECT_FALSE(contains(lines, "xxxx"));
    EXPECT_EQ(archived(), QStringList{closedFile});
}

TEST_F(HelperLoggerTest, AnArchivedNameAlreadyTakenMovesTheArchiveToTheNextFreeSecond)
{
    install();
    TLOG(INFO, "helper") << "the closing file";
    // Every name of the next few seconds is taken, by files and folders.
    std::map<QString, bool> taken;
    for (std::time_t t = now - 1; t <= now + 4; ++t) {
        const QString name = QString::fromStdString(archivedName(t));
        const bool folder = t % 2 == 0;
        if (folder)
            ASSERT_TRUE(QDir().mkpath(logs() + "/" + name));
        else
            TestSupport::writeFile(logs() + "/" + name, 7);
        taken[name] = folder;
    }

    Tellan::Logging::instance().closeLogger();

    EXPECT_FALSE(currentExists());
    const QStringList names = archived();
    ASSERT_EQ(names.size(), static_cast<int>(taken.size()) + 1);
    // The first free second from the moment of archiving on.
    EXPECT_EQ(names.last().toStdString(), archivedName(now + 5));
    EXPECT_TRUE(contains(archivedLines(names.last()), " : the closing file"));
    for (const auto& t : taken) {
        if (t.second)
            EXPECT_TRUE(QFileInfo(logs() + "/" + t.first).isDir());
        else
            EXPECT_EQ(QFileInfo(logs() + "/" + t.first).size(), 7);
    }
}

TEST_F(HelperLoggerTest, WithoutAFileThePendingLinesAreBoundedAndTheDropIsToldInTheNextFile)
{
    // Another holder keeps a left-over file: it cannot be moved away.
    QFile leftOver(currentPath());
    ASSERT_TRUE(leftOver.open(QIODevice::WriteOnly));
    leftOver.write("the other holder's line\r\n");
    leftOver.close();
    Tellan::FileInUse other{boost::filesystem::path(currentPath().toStdString())};
    ASSERT_TRUE(other.held());

    TestSupport::ScriptedVersion version(10, 0, Tellan::Platform::VER_NT_WORKSTATION);
    Tellan::Platform::ScopedInstall<Tellan::Platform::Version> installVersion(&version);
    HelperLogger& sink = install(4096);
    for (char fill = 'a'; fill < 'a' + 10; ++fill)
        sink.write(lineOfSize(1024, fill));
    EXPECT_EQ(current(), Lines{"the other holder's line"});
    EXPECT_TRUE(archived().isEmpty());

    other.release();
    sink.write("the line that finds the file free\n");

    // The left-over file is archived first; the new one reaches the limit
    // with the kept lines and the record its header logged, and is archived
    // in its turn before the line.
    const QStringList names = archived();
    ASSERT_EQ(names.size(), 2);
    EXPECT_EQ(archivedLines(names[0]), Lines{"the other holder's line"});
    const Lines after = afterHeader(archivedLines(names[1]));
    ASSERT_EQ(after.size(), 6u) << readFile((logs() + "/" + names[1]));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(after[i], std::string(1023, static_cast<char>('a' + i)));
    EXPECT_NE(after[4].find(" TellanHelper : I WindowsVersion : windowsVersionFound : "), std::string::npos);
    EXPECT_NE(after[5].find(" TellanHelper : W HelperLogger : PendingLogLinesDropped : function = "
                            "Tellan>`anonymous-namespace'>droppedLinesReport , limit = 4096 , lines = 6 : line "),
              std::string::npos)
        << after[5];
    const Lines next = afterHeader(current());
    ASSERT_EQ(next.size(), 2u) << readFile(currentPath());
    EXPECT_NE(next[0].find(" TellanHelper : I WindowsVersion : windowsVersionFound : "), std::string::npos);
    EXPECT_EQ(next[1], "the line that finds the file free");
}

TEST_F(HelperLoggerTest, ARotationThatCannotMoveTheFileKeepsWritingToIt)
{
    HelperLogger& sink = install(4096);
    TestSupport::ScriptedFileShare share;
    Tellan::Platform::ScopedInstall<Tellan::Platform::FileShare> installShare(&share);
    // Every name the file could move to in the next ten minutes is in use.
    for (std::time_t t = now - 1; t <= now + 600; ++t)
        share.markInUse((logs() + "/").toStdString() + archivedName(t));

    for (char fill = 'a'; fill < 'a' + 6; ++fill)
        sink.write(lineOfSize(1000, fill));
    EXPECT_TRUE(archived().isEmpty());
    Lines after = afterHeader(current());
    ASSERT_GE(after.size(), 6u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(after[after.size() - 6 + i], std::string(999, static_cast<char>('a' + i)));

    share.clear();
    sink.write("the line after which the rotation works\n");
    const QStringList names = archived();
    ASSERT_EQ(names.size(), 1);
    after = afterHeader(archivedLines(names[0]));
    ASSERT_GE(after.size(), 7u);
    EXPECT_EQ(after.back(), "the line after which the rotation works");
    EXPECT_EQ(after[after.size() - 2], std::string(999, 'f'));
    EXPECT_TRUE(headerAt(current(), 0));
}

TEST_F(HelperLoggerTest, AFileThatCannotBeCreatedIsTriedAgainAtTheNextLineWithNothingLost)
{
    // A dangling link at the current name: nothing to archive, and creating
    // the file through it fails.
    ASSERT_EQ(
        ::symlink((logs() + "/missing/ZorvikMusicHelper.log").toUtf8().constData(), currentPath().toUtf8().constData()),
        0);
    HelperLogger& sink = install();
    TLOG(INFO, "helper") << "while no file can be made";
    EXPECT_FALSE(QFileInfo::exists(logs() + "/missing"));
    EXPECT_TRUE(archived().isEmpty());

    ASSERT_TRUE(QFile::remove(currentPath()));
    TLOG(INFO, "helper") << "once it can";
    const Lines after = afterHeader(current());
    ASSERT_GE(after.size(), 2u) << readFile(currentPath());
    EXPECT_TRUE(contains(after, " : while no file can be made"));
    EXPECT_NE(after.back().find(" : once it can"), std::string::npos);

    // The count was not wrapped by the failure: half the limit rotates nothing.
    sink.write(lineOfSize(kLimit / 2, 'h'));
    EXPECT_TRUE(archived().isEmpty());
}

TEST_F(HelperLoggerTest, AFolderThatCannotBeMadeLeavesTheLinesInTheCurrentFile)
{
    HelperLogger& sink = install(4096);
    // The Logs folder moves away with the open file, and a file takes its place.
    const QString moved = logs() + ".moved";
    ASSERT_TRUE(QDir().rename(logs(), moved));
    TestSupport::writeFile(logs(), 1);

    for (char fill = 'a'; fill < 'a' + 6; ++fill) {
        try {
            sink.write(lineOfSize(1000, fill));
        } catch (const boost::filesystem::filesystem_error&) {
            // The rotation's folder could not be made: the statement drops it.
        }
    }
    ASSERT_TRUE(QFile::remove(logs()));
    sink.write("the line after which the folder can be made\n");

    const std::string oldBytes = readFile(moved + "/" + kCurrentName);
    const Lines old = afterHeader(fileLines(oldBytes));
    ASSERT_GE(old.size(), 7u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(old[old.size() - 7 + i], std::string(999, static_cast<char>('a' + i)));
    EXPECT_EQ(old.back(), "the line after which the folder can be made");
    // The file went away with the folder: its content is saved as an
    // archive, which says so, and the new file says it too.
    const QStringList names = archived();
    ASSERT_EQ(names.size(), 1);
    const std::string saved = readFile(logs() + "/" + names[0]);
    ASSERT_GT(saved.size(), oldBytes.size());
    EXPECT_EQ(saved.substr(0, oldBytes.size()), oldBytes);
    const std::string removed = " TellanHelper : W HelperLogger : LogFileRemovedByOther : function = "
                                "Tellan>`anonymous-namespace'>fileRemovedReport , savedAs = "
                                + names[0].toStdString() + " : line ";
    EXPECT_NE(fileLines(saved).back().find(removed), std::string::npos) << fileLines(saved).back();
    const Lines next = afterHeader(current());
    ASSERT_FALSE(next.empty()) << readFile(currentPath());
    EXPECT_NE(next.back().find(removed), std::string::npos) << next.back();
}

TEST_F(HelperLoggerTest, AWriteThatFailsOnAFullDiskIsCountedAndTheNextLineWritesAgain)
{
    SmallDisk disk(logs());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here (errno " << disk.error() << ")";

    HelperLogger& sink = install();
    TLOG(INFO, "helper") << "before the disk is full";
    ASSERT_TRUE(disk.fill());
    // Part of this line fits in the file's last block, the rest does not.
    sink.write(lineOfSize(6000, 'z'));
    ASSERT_TRUE(disk.makeRoom());
    TLOG(INFO, "helper") << "after the disk has room again";

    const std::string bytes = readFile(currentPath());
    EXPECT_EQ(bytes.find("zzz"), std::string::npos);
    const Lines after = afterHeader(fileLines(bytes));
    ASSERT_GE(after.size(), 3u) << bytes;
    EXPECT_NE(after[after.size() - 3].find(" : before the disk is full"), std::string::npos);
    EXPECT_NE(after[after.size() - 2].find(lostLines(1)), std::string::npos) << after[after.size() - 2];
    EXPECT_NE(after.back().find(" : after the disk has room again"), std::string::npos);
}

TEST_F(HelperLoggerTest, ANewFileWhoseHeaderDoesNotFitIsRemovedAndItsLinesWait)
{
    SmallDisk disk(logs());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here (errno " << disk.error() << ")";

    HelperLogger& sink = install();
    // The file is made to end half way into its last block: a line can
    // still reach it once the disk is full, and reach the limit.
    const std::size_t onDisk = readFile(currentPath()).size();
    std::size_t pad = (2048 + 2 * 4096 - onDisk % 4096 - 1) % 4096;
    if (pad == 0)
        pad = 4096;
    sink.write(lineOfSize(pad, 'p'));
    ASSERT_EQ(readFile(currentPath()).size() % 4096, 2048u);
    ASSERT_TRUE(disk.fill());
    sink.maxFileSize = static_cast<quint32>(countedBytes(readFile(currentPath())) + 2047);
    sink.write(lineOfSize(2047, 'l'));

    // The full file is archived; its successor could not take its header.
    EXPECT_FALSE(currentExists());
    const QStringList names = archived();
    ASSERT_EQ(names.size(), 1);
    const Lines full = afterHeader(archivedLines(names[0]));
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(full.back(), std::string(2046, 'l'));
    TLOG(INFO, "helper") << "while the disk is full";
    EXPECT_FALSE(currentExists());

    ASSERT_TRUE(disk.makeRoom());
    TLOG(INFO, "helper") << "before the next try";
    EXPECT_FALSE(currentExists());
    now += HelperLogger::kOpenRetrySeconds;
    TLOG(INFO, "helper") << "after the disk has room again";
    const Lines after = afterHeader(current());
    ASSERT_GE(after.size(), 2u) << readFile(currentPath());
    EXPECT_TRUE(contains(after, " : while the disk is full"));
    EXPECT_TRUE(contains(after, " : before the next try"));
    EXPECT_NE(after.back().find(" : after the disk has room again"), std::string::npos);
    EXPECT_FALSE(contains(after, "LogLinesLost"));
}

TEST_F(HelperLoggerTest, AFailedWriteIsCutBackInTheSinksOwnFileNotAtItsName)
{
    SmallDisk disk(logs());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here (errno " << disk.error() << ")";

    HelperLogger& sink = install();
    TLOG(INFO, "helper") << "before the file is moved";
    // Something that ignores holds moves the open file and puts its own at
    // the name.
    const QString moved = logs() + "/moved-away";
    ASSERT_EQ(::rename(currentPath().toUtf8().constData(), moved.toUtf8().constData()), 0);
    const std::string theirs = "someone else's line\r\n";
    {
        std::ofstream out(currentPath().toUtf8().constData(), std::ios::binary);
        out << theirs;
    }
    ASSERT_TRUE(disk.fill());
    sink.write(lineOfSize(6000, 'z'));
    ASSERT_TRUE(disk.makeRoom());

    EXPECT_EQ(readFile(currentPath()), theirs);
    const std::string mine = readFile(moved);
    EXPECT_EQ(mine.find("zzz"), std::string::npos);
    const Lines after = afterHeader(fileLines(mine));
    ASSERT_FALSE(after.empty()) << mine;
    EXPECT_NE(after.back().find(" : before the file is moved"), std::string::npos);
}

TEST_F(HelperLoggerTest, AFileMovedAwayBeforeTheSinkHoldsItIsNotWrittenOn)
{
    const QString moved = profile.home() + "/moved-away.log";
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "another file put in its place" : "moved away");
        startOver();
        QFile::remove(moved);
        TestSupport::ScriptedFileShare share;
        Tellan::Platform::ScopedInstall<Tellan::Platform::FileShare> installShare(&share);
        // Between the file being made and being held, once.
        bool once = true;
        share.beforeHold = [&](const boost::filesystem::path& path) {
            if (!once || path.filename() != kCurrentName)
                return;
            once = false;
            ASSERT_EQ(::rename(path.c_str(), moved.toUtf8().constData()), 0);
            if (replaced)
                TestSupport::writeFile(currentPath(), 7);
        };
        install();
        EXPECT_FALSE(once);
        TLOG(INFO, "helper") << "the line after the move";

        EXPECT_EQ(readFile(moved), "");
        const Lines after = afterHeader(current());
        ASSERT_FALSE(after.empty()) << readFile(currentPath());
        EXPECT_NE(after.back().find(" : the line after the move"), std::string::npos);
        // The other file at the name is archived like any left-over.
        const QStringList names = archived();
        ASSERT_EQ(names.size(), replaced ? 1 : 0);
        if (replaced) {
            EXPECT_EQ(QFileInfo(logs() + "/" + names[0]).size(), 7);
        }
        TestSupport::installRecordingSink();
    }
}

TEST_F(HelperLoggerTest, NoOneCanTakeTheFileUpBetweenTheSinkLettingGoOfItAndMovingIt)
{
    HelperLogger& sink = install(4096);
    TestSupport::ScriptedFileShare share;
    Tellan::Platform::ScopedInstall<Tellan::Platform::FileShare> installShare(&share);
    // Another process takes the file up the moment the sink lets go of it.
    bool taken = false;
    share.afterRelease = [&] {
        if (!taken)
            share.markInUse(currentPath().toStdString());
        taken = true;
    };
    sink.write(lineOfSize(4096, 'r'));

    EXPECT_TRUE(taken);
    const QStringList names = archived();
    ASSERT_EQ(names.size(), 1);
    const Lines full = afterHeader(archivedLines(names[0]));
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(full.back(), std::string(4095, 'r'));
    EXPECT_TRUE(headerAt(current(), 0));
    share.clear();
    TestSupport::installRecordingSink();
}

TEST_F(HelperLoggerTest, AHeaderThatCannotBeBuiltKeepsTheLinesForTheNextFile)
{
    HelperLogger& sink = install(4096);
    ThrowingMachine machine;
    Tellan::Platform::ScopedInstall<Tellan::Platform::Machine> installMachine(&machine);
    // The rotation's header fails, and so does the next try, which comes
    // only after the pause between tries.
    machine.throws = 2;
    EXPECT_THROW(sink.write(lineOfSize(4096, 'r')), std::runtime_error);
    EXPECT_FALSE(currentExists());
    TLOG(INFO, "helper") << "within the pause";
    EXPECT_EQ(machine.throws, 1);
    now += HelperLogger::kOpenRetrySeconds;
    TLOG(INFO, "helper") << "while no header can be built";
    EXPECT_EQ(machine.throws, 0);
    EXPECT_FALSE(currentExists());

    now += HelperLogger::kOpenRetrySeconds;
    TLOG(INFO, "helper") << "once it can";
    const Lines after = afterHeader(current());
    ASSERT_GE(after.size(), 2u) << readFile(currentPath());
    EXPECT_TRUE(contains(after, " : within the pause"));
    EXPECT_TRUE(contains(after, " : while no header can be built"));
    EXPECT_NE(after.back().find(" : once it can"), std::string::npos);
    TestSupport::installRecordingSink();
}

TEST_F(HelperLoggerTest, ASecondHelperProcessCanNeitherMoveNorPruneTheFileInUse)
{
    install();
    TLOG(INFO, "helper") << "first line of the running helper";
    const QString oldArchive = logs() + "/ZorvikMusicHelper-v9.5.2.2478-200101-000000.log";
    TestSupport::writeFile(oldArchive, 7);

    // A second helper starts on the same profile: its start-up archiving
    // finds the file in use, so its lines wait.
    Child second({"helper", kDeviceId});
    ASSERT_EQ(second.nextLine(), "ready");
    ASSERT_TRUE(second.command("log line of the second helper"));
    EXPECT_TRUE(QFileInfo::exists(oldArchive));
    Lines lines = current();
    EXPECT_TRUE(headerAt(lines, 0));
    EXPECT_TRUE(contains(lines, " : first line of the running helper"));
    EXPECT_FALSE(contains(lines, "second helper"));

    // The reporter's deletion and the pruning fail on it with their record;
    // the file not in use goes.
    {
        Child prune({"prune"});
        EXPECT_EQ(prune.nextLine(), "removed=0");
        Lines records;
        for (std::string line = prune.nextLine(); !line.empty() && line != "done"; line = prune.nextLine())
            records.push_back(line);
        EXPECT_EQ(prune.finish(), 0);
        EXPECT_TRUE(contains(records, " TellanHelper : E FileSystemUtility : ExceptionDeletingFile : function = "
                                      "Tellan>`anonymous-namespace'>deleteFile : line "));
        EXPECT_TRUE(contains(records, "cannot remove a file in use"));
        EXPECT_TRUE(contains(records, "/Logs/ZorvikMusicHelper.log"));
    }
    EXPECT_FALSE(QFileInfo::exists(oldArchive));
    EXPECT_FALSE(QFileInfo::exists(logs() + "/renamed.log"));

    TLOG(INFO, "helper") << "second line of the running helper";
    lines = current();
    EXPECT_TRUE(contains(lines, " : second line of the running helper"));

    // Once the first helper has archived its file, the second one's next
    // line opens the file, with the lines it kept.
    Tellan::Logging::instance().closeLogger();
    ASSERT_TRUE(second.command("log the second helper has its file"));
    ASSERT_TRUE(second.command("close"));
    EXPECT_EQ(second.finish(), 0);

    EXPECT_FALSE(currentExists());
    const QStringList names = archived();
    ASSERT_EQ(names.size(), 2);
    const Lines first = archivedLines(names[0]);
    EXPECT_TRUE(headerAt(first, 0));
    EXPECT_TRUE(contains(first, " : second line of the running helper"));
    const Lines other = afterHeader(archivedLines(names[1]));
    ASSERT_GE(other.size(), 2u);
    EXPECT_TRUE(contains(other, "Helper INFO in child line "));
    EXPECT_TRUE(contains(other, " : line of the second helper"));
    EXPECT_NE(other.back().find(" : the second helper has its file"), std::string::npos);
}

TEST_F(HelperLoggerTest, AFullDiskAtTheRotatingLineBuildsTheHeaderOnlyNowAndThenAndItsRecordsOnce)
{
    SmallDisk disk(logs());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here (errno " << disk.error() << ")";
    TestSupport::ScriptedVersion version(10, 0, Tellan::Platform::VER_NT_WORKSTATION);
    Tellan::Platform::ScopedInstall<Tellan::Platform::Version> installVersion(&version);
    ThrowingMachine machine;
    Tellan::Platform::ScopedInstall<Tellan::Platform::Machine> installMachine(&machine);

    const quint32 limit = 8192;
    HelperLogger& sink = install(limit);
    sink.write(lineOfSize(limit - 1 - countedBytes(readFile(currentPath())), 'b'));
    ASSERT_TRUE(archived().isEmpty());
    ASSERT_TRUE(disk.fill());
    machine.probes = 0;
    sink.write("the line that rotates\n");
    ASSERT_EQ(archived().size(), 1);
    EXPECT_FALSE(currentExists()) << "no room for the header";

    // A line a second while the disk stays full: more than the pending
    // lines may hold.
    const int lines = 120;
    for (int i = 0; i < lines; ++i) {
        ++now;
        TLOG(INFO, "helper") << "while the disk is full, line " << i << std::string(60, '.').c_str();
    }
    EXPECT_LE(machine.probes, 1 + lines / static_cast<int>(HelperLogger::kOpenRetrySeconds));
    EXPECT_GE(machine.probes, 2);

    ASSERT_TRUE(disk.makeRoom());
    now += HelperLogger::kOpenRetrySeconds;
    TLOG(INFO, "helper") << "after the disk has room again";
    // The kept lines fill the new file to the limit: it is archived in its
    // turn, and the line goes to the next one.
    const QStringList names = archived();
    ASSERT_EQ(names.size(), 2);
    const Lines after = afterHeader(archivedLines(names[1]));
    EXPECT_EQ(count(after, " TellanHelper : I WindowsVersion : windowsVersionFound : "), 1u)
        << readFile(logs() + "/" + names[1]);
    // The first lines are kept, within the bound; the rest are counted.
    std::size_t keptBytes = 0, kept = 0;
    for (const std::string& line : after)
        if (line.find(" : while the disk is full, line ") != std::string::npos) {
            EXPECT_NE(line.find("line " + std::to_string(kept) + "."), std::string::npos) << line;
            keptBytes += line.size() + 1;
            ++kept;
        }
    EXPECT_GT(kept, 0u);
    EXPECT_LE(keptBytes, limit);
    EXPECT_TRUE(contains(after, " TellanHelper : W HelperLogger : PendingLogLinesDropped : function = "
                                "Tellan>`anonymous-namespace'>droppedLinesReport , limit = 8192 , lines = "
                                    + std::to_string(lines - static_cast<int>(kept)) + " : line "))
        << readFile(logs() + "/" + names[1]);
    EXPECT_FALSE(contains(after, "LogLinesLost"));
    const Lines next = afterHeader(current());
    ASSERT_FALSE(next.empty());
    EXPECT_NE(next.back().find(" : after the disk has room again"), std::string::npos);
}

TEST_F(HelperLoggerTest, RoomForPartOfThePendingLinesKeepsTheFirstOnesAndCountsTheRest)
{
    SmallDisk disk(logs());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here (errno " << disk.error() << ")";

    const quint32 limit = 12000;
    HelperLogger& sink = install(limit);
    sink.write(lineOfSize(limit - 1 - countedBytes(readFile(currentPath())), 'b'));
    ASSERT_TRUE(disk.fill());
    sink.write("the line that rotates\n");
    ASSERT_FALSE(currentExists());
    const int waiting = 100;
    for (int i = 0; i < waiting; ++i) {
        char line[101];
        std::snprintf(line, sizeof line, "%-99s\n", ("waiting line " + std::to_string(i) + " ").c_str());
        sink.write(line);
    }

    // One block of room: the header and some of the waiting lines.
    ASSERT_TRUE(disk.makeRoom(4096));
    now += HelperLogger::kOpenRetrySeconds;
    sink.write("the line that opens the file\n");
    ASSERT_TRUE(currentExists());
    ASSERT_TRUE(disk.makeRoom());
    sink.write("the line after the room came back\n");

    const Lines after = afterHeader(current());
    std::size_t kept = 0;
    while (kept < after.size() && after[kept].compare(0, 13, "waiting line ") == 0) {
        EXPECT_EQ(
            after[kept].compare(0, 14 + std::to_string(kept).size(), "waiting line " + std::to_string(kept) + " "), 0)
            << after[kept];
        ++kept;
    }
    EXPECT_GT(kept, 10u);
    EXPECT_LT(kept, static_cast<std::size_t>(waiting));
    ASSERT_EQ(after.size(), kept + 2) << readFile(currentPath());
    // The rest of the waiting lines, the header's record after them, and
    // the line that opened the file.
    EXPECT_NE(after[kept].find(lostLines(static_cast<unsigned>(waiting - kept + 2))), std::string::npos) << after[kept];
    EXPECT_EQ(after.back(), "the line after the room came back");
}

TEST_F(HelperLoggerTest, ACurrentFileRemovedOrMovedByAnotherProgramIsSavedAndANewOneBegun)
{
    const QString movedTo = profile.home() + "/moved.log";
    for (const bool moved : {false, true})
        for (const bool atClose : {false, true}) {
            SCOPED_TRACE(std::string(moved ? "moved" : "removed") + (atClose ? ", then closed" : ", then a line"));
            startOver();
            QFile::remove(movedTo);
            install();
            TLOG(INFO, "helper") << "before the file went";
            const std::string before = readFile(currentPath());
            ASSERT_EQ(moved ? run(QStringLiteral("mv"), {currentPath(), movedTo})
                            : run(QStringLiteral("rm"), {currentPath()}),
                      0);
            ASSERT_FALSE(currentExists());

            if (atClose) {
                Tellan::Logging::instance().closeLogger();
            } else {
                ++now;
                TLOG(INFO, "helper") << "after the file went";
            }

            const QStringList names = archived();
            ASSERT_EQ(names.size(), 1);
            const std::string saved = readFile(logs() + "/" + names[0]);
            EXPECT_EQ(saved.substr(0, before.size()), before);
            const std::string removed = " TellanHelper : W HelperLogger : LogFileRemovedByOther : function = "
                                        "Tellan>`anonymous-namespace'>fileRemovedReport , savedAs = "
                                        + names[0].toStdString() + " : line ";
            const Lines savedLines = fileLines(saved);
            ASSERT_EQ(savedLines.size(), fileLines(before).size() + 1) << saved;
            EXPECT_NE(savedLines.back().find(removed), std::string::npos) << savedLines.back();
            EXPECT_NE(savedLines.back().find("the current log file was removed or moved by another program"),
                      std::string::npos);
            if (atClose) {
                EXPECT_FALSE(currentExists());
            } else {
                const Lines next = afterHeader(current());
                ASSERT_GE(next.size(), 2u) << readFile(currentPath());
                EXPECT_NE(next[next.size() - 2].find(removed), std::string::npos) << next[next.size() - 2];
                EXPECT_NE(next.back().find(" : after the file went"), std::string::npos);
                EXPECT_FALSE(contains(next, "before the file went"));
            }
            if (moved) {
                EXPECT_EQ(readFile(movedTo), before);
            }
        }
    QFile::remove(movedTo);
}

TEST_F(HelperLoggerTest, LinesLostOnADiskFullUntilCloseAreToldInTheArchivedFile)
{
    SmallDisk disk(logs());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here (errno " << disk.error() << ")";

    HelperLogger& sink = install();
    TLOG(INFO, "helper") << "before the disk is full";
    // Half a block of room stays in the file's last block.
    padTo(sink, 2048);
    ASSERT_TRUE(disk.fill());
    sink.write(lineOfSize(6000, 'z'));
    sink.write(lineOfSize(6000, 'y'));
    Tellan::Logging::instance().closeLogger();

    const QStringList names = archived();
    ASSERT_EQ(names.size(), 1);
    const Lines after = afterHeader(archivedLines(names[0]));
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[after.size() - 2].find_first_not_of('p'), std::string::npos) << after[after.size() - 2];
    EXPECT_NE(after.back().find(lostLines(2)), std::string::npos) << after.back();
    EXPECT_FALSE(contains(after, "zzz"));
    EXPECT_FALSE(contains(after, "yyy"));
}

TEST_F(HelperLoggerTest, TheLossIsToldBeforeTheFirstLineWrittenAfterIt)
{
    SmallDisk disk(logs());
    if (!disk.mounted())
        GTEST_SKIP() << "cannot mount a small file system here (errno " << disk.error() << ")";

    HelperLogger& sink = install();
    // Room for a short line in the file's last block, not for the report.
    padTo(sink, 4096 - 40);
    ASSERT_TRUE(disk.fill());
    sink.write(lineOfSize(6000, 'z'));
    sink.write("short\n");
    ASSERT_TRUE(disk.makeRoom());
    sink.write("after the disk has room again\n");

    const Lines after = afterHeader(current());
    ASSERT_GE(after.size(), 3u);
    EXPECT_EQ(after[after.size() - 3].find_first_not_of('p'), std::string::npos) << after[after.size() - 3];
    EXPECT_NE(after[after.size() - 2].find(lostLines(2)), std::string::npos) << after[after.size() - 2];
    EXPECT_EQ(after.back(), "after the disk has room again");
    EXPECT_FALSE(contains(after, "short"));
}

TEST_F(HelperLoggerTest, EachLineIsOneWriteAndAShortWriteIsCutBackAndCounted)
{
    TestSupport::ScriptedAppendFile files;
    Tellan::Platform::ScopedInstall<Tellan::Platform::AppendFile> installFiles(&files);
    HelperLogger& sink = install();
    files.appends = 0;
    sink.write("one\n");
    sink.write("two\n     three\n");
    EXPECT_EQ(files.appends.load(), 2);

    // Room for part of the line only, as on a full disk.
    files.room = 10;
    sink.write(lineOfSize(100, 'z'));
    files.room = -1;
    sink.write("after the room came back\n");

    const Lines after = afterHeader(current());
    ASSERT_GE(after.size(), 5u) << readFile(currentPath());
    const Lines last(after.end() - 5, after.end());
    EXPECT_EQ(last[0], "one");
    EXPECT_EQ(last[1], "two");
    EXPECT_EQ(last[2], "     three");
    EXPECT_NE(last[3].find(lostLines(1)), std::string::npos) << last[3];
    EXPECT_EQ(last[4], "after the room came back");
    EXPECT_FALSE(contains(after, "zzz"));
    TestSupport::installRecordingSink();
}

namespace {

// Another process makes the file just after the test for it: the test finds
// nothing there.
class FileMadeAfterTheCheck : public TestSupport::ScriptedFiles {
public:
    explicit FileMadeAfterTheCheck(const boost::filesystem::path& made) : made(made) {}
    bool exists(const boost::filesystem::path& path) override
    {
        return path == made ? false : ScriptedFiles::exists(path);
    }

private:
    const boost::filesystem::path made;
};

} // namespace

TEST(LogFileCreate, AFileAnotherMadeMeanwhileIsNotTakenAsOurs)
{
    namespace fs = boost::filesystem;
    const fs::path folder = fs::temp_directory_path() / fs::unique_path("zorvik-logfile-%%%%-%%%%-%%%%");
    fs::create_directories(folder);
    struct Cleanup {
        fs::path folder;
        ~Cleanup() { fs::remove_all(folder); }
    } cleanup{folder};
    const fs::path path = folder / kCurrentName;
    std::ofstream(path.string(), std::ios::binary).flush();

    FileMadeAfterTheCheck files(path);
    Tellan::Platform::ScopedInstall<Tellan::Platform::Files> install(&files);
    Tellan::LogFile file;
    EXPECT_FALSE(file.create(path));
    EXPECT_FALSE(file.isOpen());
    EXPECT_TRUE(fs::exists(path));
}
