#include "FileSystem/FileSystemUtility.h"
#include "LongPath/LongPath.h"
#include "RecordingSink.h"
#include "TempProfile.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using Tellan::FileSystemUtility;
namespace fs = boost::filesystem;

namespace {

constexpr qint64 kBase = 1600000000;

class Pruning : public ::testing::Test {
protected:
    // Files f000, f001, ... one second apart, oldest first.
    void makeFiles(int count, qint64 size = 10)
    {
        for (int i = 0; i < count; ++i)
            TestSupport::writeFile(file(i), size, kBase + i);
    }
    QString file(int i) const { return dir.filePath(QString("f%1").arg(i, 3, 10, QChar('0'))); }
    QStringList remaining() const { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); }
    fs::path folder() const { return fs::path(dir.path().toStdString()); }

    QTemporaryDir dir;
    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
};

// Makes a file undeletable (even for root) while it lives.
class Immutable {
public:
    explicit Immutable(const QString& path) : path_(QFile::encodeName(path)) { ok_ = set(true); }
    ~Immutable()
    {
        if (ok_)
            set(false);
    }
    bool ok() const { return ok_; }

private:
    bool set(bool on)
    {
        const int fd = ::open(path_.constData(), O_RDONLY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        return done;
    }
    QByteArray path_;
    bool ok_ = false;
};

} // namespace

TEST_F(Pruning, ByCountKeepsTheNewest)
{
    const struct {
        int files;
        unsigned limit;
        int kept;
    } cases[] = {{100, 100, 100}, {101, 100, 100}, {5, 0, 0}, {0, 3, 0}};
    for (const auto& c : cases) {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        makeFiles(c.files);
        FileSystemUtility::deleteOldestFilesByCount(folder(), c.limit);
        const QStringList left = remaining();
        ASSERT_EQ(left.size(), c.kept) << c.files << " files, limit " << c.limit;
        if (c.kept > 0) {
            EXPECT_EQ(left.first(), QFileInfo(file(c.files - c.kept)).fileName());
        }
    }
    EXPECT_TRUE(sink.lines().empty());
}

TEST_F(Pruning, SubFoldersAreNeverCountedSizedOrDeleted)
{
    makeFiles(2);
    TestSupport::writeFile(dir.filePath("sub/inner"), 1000, kBase - 100);
    QDir().mkpath(dir.filePath("empty"));
    // Links are followed: one to a folder is skipped, one to a file counts.
    QFile::link(dir.filePath("sub"), dir.filePath("linkToFolder"));
    QFile::link(dir.filePath("sub/inner"), dir.filePath("linkToFile"));
    FileSystemUtility::FolderScan scan;
    FileSystemUtility::collectFilesByAge(scan, folder());
    EXPECT_EQ(scan.fileCount, 3u);
    EXPECT_EQ(scan.totalBytes, 1020u);

    FileSystemUtility::deleteOldestFilesByCount(folder(), 0);
    FileSystemUtility::deleteOldestFilesBySize(folder(), 0);
    EXPECT_TRUE(remaining().isEmpty());
    EXPECT_FALSE(QFileInfo(dir.filePath("linkToFile")).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("sub/inner")));
    EXPECT_TRUE(QFileInfo(dir.filePath("linkToFolder")).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("empty")));
}

TEST_F(Pruning, EqualTimesKeepTheListingOrder)
{
    TestSupport::writeFile(dir.filePath("a"), 1, kBase);
    TestSupport::writeFile(dir.filePath("b"), 1, kBase);
    TestSupport::writeFile(dir.filePath("c"), 1, kBase);
    std::vector<std::string> listing;
    for (fs::directory_iterator it(folder()), end; it != end; ++it)
        listing.push_back(it->path().filename().string());

    FileSystemUtility::deleteOldestFilesByCount(folder(), 2);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QString::fromStdString(listing[0]))));
    EXPECT_EQ(remaining().size(), 2);
}

TEST_F(Pruning, BySizeDeletesOldestUpToTheFileThatCoversTheExcess)
{
    const struct {
        std::vector<qint64> sizes; // oldest first
        std::uint64_t limit;
        int kept;
    } cases[] = {
        {{10, 10, 10}, 30, 3}, // equal to the limit
        {{10, 10, 10}, 29, 2}, // one byte over: the oldest covers it
        {{0, 0, 10, 10}, 19, 1}, // empty files first, then the one with a byte
        {{5, 5, 10}, 11, 1}, // 9 over: 5 then 5
        {{10, 10, 10}, 0, 0},
    };
    for (const auto& c : cases) {
        QDir(dir.path()).removeRecursively();
        QDir().mkpath(dir.path());
        for (std::size_t i = 0; i < c.sizes.size(); ++i)
            TestSupport::writeFile(file(int(i)), c.sizes[i], kBase + qint64(i));
        FileSystemUtility::deleteOldestFilesBySize(folder(), c.limit);
        const QStringList left = remaining();
        ASSERT_EQ(left.size(), c.kept) << "limit " << c.limit;
        if (c.kept > 0) {
            EXPECT_EQ(left.first(), QFileInfo(file(int(c.sizes.size()) - c.kept)).fileName());
        }
    }
    EXPECT_TRUE(sink.lines().empty());
}

TEST_F(Pruning, AFileThatCannotBeDeletedStillCountsAgainstTheExcess)
{
    makeFiles(3);
    Immutable locked(file(0));
    if (!locked.ok())
        GTEST_SKIP() << "this file system cannot make a file undeletable";
    FileSystemUtility::deleteOldestFilesBySize(folder(), 25);
    // f000 covered the 5 bytes of excess though it stayed, so f001 survives.
    EXPECT_EQ(remaining(), (QStringList{"f000", "f001", "f002"}));
    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" : E FileSystemUtility : ExceptionDeletingFile : function = "
                            "Tellan>`anonymous-namespace'>deleteFile : line "),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("Comment In Log:     Exception: "), std::string::npos);

    sink.clear();
    FileSystemUtility::deleteOldestFilesByCount(folder(), 1);
    EXPECT_EQ(remaining(), (QStringList{"f000", "f002"}));
    EXPECT_EQ(sink.events(), std::vector<std::string>{"ExceptionDeletingFile"});
}

TEST_F(Pruning, AMissingFolderGivesOneErrorOfTheOperationCalled)
{
    const fs::path missing = folder() / "missing";
    FileSystemUtility::deleteOldestFilesByCount(missing, 1);
    FileSystemUtility::deleteOldestFilesBySize(missing, 1);
    EXPECT_EQ(sink.events(),
              (std::vector<std::string>{"ExceptionDeletingOldestFilesByCount", "ExceptionDeletingOldestFilesBySize"}));
    for (const auto& line : sink.lines())
        EXPECT_NE(line.find("Comment In Log:     Exception: "), std::string::npos) << line;
}

TEST_F(Pruning, EmptyFolderDoesNothing)
{
    FileSystemUtility::deleteOldestFilesByCount(folder(), 0);
    FileSystemUtility::deleteOldestFilesBySize(folder(), 0);
    EXPECT_TRUE(sink.lines().empty());
}

TEST_F(Pruning, FilesWhosePathsPassTheKernelLimitArePrunedLikeAnyOther)
{
    // The folder within the limit, as a Logs folder under a long home is;
    // the paths of its files beyond it.
    QString deep = dir.path();
    while (deep.size() < PATH_MAX - 40)
        deep += "/" + QString(std::min(200, PATH_MAX - 41 - int(deep.size())), QLatin1Char('d'));
    ASSERT_TRUE(QDir().mkpath(deep));
    const fs::path folder = Tellan::LongPath::fromText(deep);
    std::vector<fs::path> files;
    // Qt cannot remove what lies past the limit, also when the test fails.
    struct Cleanup {
        std::vector<fs::path>& files;
        ~Cleanup()
        {
            for (const fs::path& file : files)
                Tellan::LongPath::remove(file);
        }
    } cleanup{files};
    for (int i = 0; i < 4; ++i) {
        const QString name = QString("ZorvikMusicHelper-v9.5.2.2478-21010%1-120000.log").arg(i);
        TestSupport::writeFile(dir.filePath(name), 100, kBase + i);
        files.push_back(folder / name.toStdString());
        Tellan::LongPath::rename(Tellan::LongPath::fromText(dir.filePath(name)), files.back());
        ASSERT_TRUE(Tellan::LongPath::exists(files.back()));
        ASSERT_GT(files.back().string().size(), std::size_t(PATH_MAX));
    }
    FileSystemUtility::deleteOldestFilesByCount(folder, 3);
    FileSystemUtility::deleteOldestFilesBySize(folder, 150);
    EXPECT_TRUE(sink.lines().empty()) << sink.lines().front();
    EXPECT_FALSE(Tellan::LongPath::exists(files[0]));
    EXPECT_FALSE(Tellan::LongPath::exists(files[1]));
    EXPECT_FALSE(Tellan::LongPath::exists(files[2]));
    EXPECT_TRUE(Tellan::LongPath::exists(files[3]));
}
