#include "Platform/FileShare.h"
#include "FileSystem/FileSystemUtility.h"
#include "LongPath/FileInUse.h"
#include "LongPath/LongPath.h"
#include "Platform/Platform.h"
#include "RecordingSink.h"
#include "TempProfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using Tellan::FileInUse;
using Tellan::Platform::FileShare;
using Tellan::Platform::Installed;
namespace fs = boost::filesystem;

namespace {

class FileShareTest : public ::testing::Test {
protected:
    fs::path file(const char* name, qint64 size = 4, qint64 lastWrite = 1600000000)
    {
        const QString path = dir.filePath(name);
        TestSupport::writeFile(path, size, lastWrite);
        return fs::path(QFile::encodeName(path).toStdString());
    }
    static FileShare& share() { return Installed<FileShare>::get(); }
    static bool openForWriting(const fs::path& path)
    {
        return share().writersOf(path) == Tellan::Platform::Writers::Open;
    }

    QTemporaryDir dir;
};

// Another process holding or writing the file, until stop() or destruction.
class OtherProcess {
public:
    OtherProcess(const char* mode, const fs::path& path)
    {
        child_.start(ZORVIK_TEST_BIN_DIR "/fileshare_child", {mode, QString::fromStdString(path.string())});
        ready_ = child_.waitForReadyRead(30000) && child_.readLine().trimmed() == "ready";
    }
    ~OtherProcess() { stop(); }
    bool ready() const { return ready_; }
    void stop()
    {
        child_.closeWriteChannel();
        child_.waitForFinished(30000);
    }

private:
    QProcess child_;
    bool ready_ = false;
};

TEST_F(FileShareTest, AHoldIsSeenByEveryOtherDescriptionUntilReleased)
{
    const fs::path path = file("held.log");
    EXPECT_FALSE(share().isInUse(path));
    {
        FileInUse hold(path);
        ASSERT_TRUE(hold.held());
        EXPECT_TRUE(share().isInUse(path));

        // A second holder, even in this process, is refused as Windows refuses
        // a second open without sharing.
        FileInUse second(path);
        EXPECT_FALSE(second.held());
        EXPECT_EQ(Tellan::Platform::getLastError(), Tellan::Platform::ERROR_SHARING_VIOLATION_CODE);

        FileInUse moved(std::move(hold));
        EXPECT_FALSE(hold.held());
        EXPECT_TRUE(share().isInUse(path));
    }
    EXPECT_FALSE(share().isInUse(path));

    FileInUse missing(path.parent_path() / "missing.log");
    EXPECT_FALSE(missing.held());
    EXPECT_EQ(Tellan::Platform::getLastError(), Tellan::Platform::ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_FALSE(share().isInUse(path.parent_path() / "missing.log"));
}

TEST_F(FileShareTest, AFileHeldByAnotherProcessCannotBeMovedOrDeleted)
{
    const fs::path held = file("held.log");
    const fs::path other = file("other.log");
    OtherProcess holder("hold", held);
    ASSERT_TRUE(holder.ready());
    EXPECT_TRUE(share().isInUse(held));

    Tellan::Platform::setLastError(0);
    EXPECT_FALSE(Tellan::LongPath::remove(held));
    EXPECT_EQ(Tellan::Platform::getLastError(), Tellan::Platform::ERROR_SHARING_VIOLATION_CODE);

    Tellan::Platform::setLastError(0);
    Tellan::LongPath::rename(held, held.parent_path() / "moved.log");
    EXPECT_EQ(Tellan::Platform::getLastError(), Tellan::Platform::ERROR_SHARING_VIOLATION_CODE);

    // Nor may another file replace it.
    Tellan::LongPath::rename(other, held);
    EXPECT_EQ(Tellan::Platform::getLastError(), Tellan::Platform::ERROR_SHARING_VIOLATION_CODE);
    EXPECT_TRUE(fs::exists(held));
    EXPECT_TRUE(fs::exists(other));
    EXPECT_FALSE(fs::exists(held.parent_path() / "moved.log"));

    holder.stop();
    EXPECT_FALSE(share().isInUse(held));
    Tellan::LongPath::rename(held, held.parent_path() / "moved.log");
    EXPECT_TRUE(fs::exists(held.parent_path() / "moved.log"));
    EXPECT_TRUE(Tellan::LongPath::remove(held.parent_path() / "moved.log"));
}

TEST_F(FileShareTest, PruningLeavesAHeldFileAndSaysSo)
{
    const fs::path held = file("a-oldest.log", 4, 1600000000);
    file("b.log", 4, 1600000001);
    file("c.log", 4, 1600000002);
    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
    FileInUse hold(held);
    ASSERT_TRUE(hold.held());

    Tellan::FileSystemUtility::deleteOldestFilesByCount(held.parent_path(), 1);

    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files, QDir::Name), (QStringList{"a-oldest.log", "c.log"}));
    const auto lines = sink.linesWithEvent("ExceptionDeletingFile");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" : E FileSystemUtility : ExceptionDeletingFile : "), std::string::npos) << lines[0];
}

TEST_F(FileShareTest, AWriterInAnyProcessIsSeen)
{
    const fs::path path = file("dump.dmp");
    EXPECT_FALSE(openForWriting(path));

    // Readers do not count.
    const int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(openForWriting(path));
    ::close(reader);

    {
        OtherProcess writer("write", path);
        ASSERT_TRUE(writer.ready());
        EXPECT_TRUE(openForWriting(path));
    }
    EXPECT_FALSE(openForWriting(path));

    const int ownWriter = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(ownWriter, 0);
    EXPECT_TRUE(openForWriting(path));
    ::close(ownWriter);

    // What is no regular file cannot be told.
    EXPECT_EQ(share().writersOf(path.parent_path()), Tellan::Platform::Writers::Unknown);
    EXPECT_EQ(share().writersOf(path.parent_path() / "missing.dmp"), Tellan::Platform::Writers::Unknown);
}

// Another user cannot lease root's files, so their writers cannot be told:
// a file is then removed only when it has been quiet for the period asked,
// measured as it stood at its name, before the removal itself moved it.
TEST_F(FileShareTest, AFileWhoseWritersCannotBeToldIsRemovedOnlyOnceQuiet)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0777), 0);
    const fs::path quiet = file("quiet.log"), busy = file("busy.log");
    const auto shortPeriod = std::chrono::milliseconds(200);
    QElapsedTimer waited;
    waited.start();
    while (!share().quietFor(quiet, shortPeriod))
        ASSERT_LT(waited.elapsed(), 30000) << "the file never became quiet";
    const Tellan::Platform::FileStamp quietStamp = share().stampOf(quiet), busyStamp = share().stampOf(busy);

    const pid_t child = ::fork();
    ASSERT_NE(child, -1) << std::strerror(errno);
    if (child == 0) {
        if (::setresgid(4242, 4242, 4242) != 0 || ::setresuid(4242, 4242, 4242) != 0)
            ::_exit(10);
        if (::access(QFile::encodeName(dir.path()).constData(), W_OK | X_OK) != 0)
            ::_exit(77);
        if (FileShare::native().writersOf(quiet) != Tellan::Platform::Writers::Unknown)
            ::_exit(11);
        int failures = 0;
        if (FileShare::native().removeIfUnchanged(busy, busyStamp, -1, std::chrono::hours(1))
            != Tellan::Platform::Removal::NotQuiet)
            failures |= 1;
        if (FileShare::native().removeIfUnchanged(quiet, quietStamp, -1, shortPeriod)
            != Tellan::Platform::Removal::Removed)
            failures |= 2;
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << dir.path().toStdString() << " cannot be reached by another user";
    ASSERT_NE(WEXITSTATUS(status), 10) << "cannot become another user";
    ASSERT_NE(WEXITSTATUS(status), 11) << "another user's test for writers did not say 'cannot tell'";
    EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "a file changed within the period was not kept";
    EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "a quiet file was not removed";
    EXPECT_TRUE(fs::exists(busy));
    EXPECT_FALSE(fs::exists(quiet));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1)
        << "something left under a private name";
}

// Testing for writers takes a read lease for a moment; a writer that opens
// the file meanwhile breaks it, and neither side may suffer for it: no signal
// ends the tester, and the writer's open succeeds.
TEST_F(FileShareTest, WritersOpeningDuringTheTestNeitherFailNorEndTheProcess)
{
    const fs::path path = file("busy.log");
    std::atomic<bool> stop{false};
    std::atomic<int> failedOpens{0};
    std::thread writer([&] {
        while (!stop) {
            FileInUse hold(path);
            if (!hold.held())
                ++failedOpens;
        }
    });
    for (int i = 0; i < 20000; ++i)
        openForWriting(path);
    stop = true;
    writer.join();
    EXPECT_EQ(failedOpens, 0);
}

} // namespace
