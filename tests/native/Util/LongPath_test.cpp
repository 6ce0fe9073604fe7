#include "LongPath/LongPath.h"
#include "LongPath/FileInUse.h"
#include "Platform/Files.h"
#include "Platform/Platform.h"
#include "ScriptedFiles.h"

#include <QTemporaryDir>

#include <boost/filesystem.hpp>
#include <boost/filesystem/fstream.hpp>

#include <climits>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace fs = boost::filesystem;
namespace lp = Tellan::LongPath;

namespace {

const std::string PREFIX = "\\\\?\\";

// "/" followed by 'a's up to `length` characters.
std::string pathOfLength(std::size_t length) { return "/" + std::string(length - 1, 'a'); }

struct LongFormCase {
    const char* name;
    std::string path;
    std::string longForm;
};

void PrintTo(const LongFormCase& c, std::ostream* os) { *os << c.name; }

class ToLongPath : public ::testing::TestWithParam<LongFormCase> {};

TEST_P(ToLongPath, AddsThePrefixFrom260CharactersUnlessItIsThere)
{
    EXPECT_EQ(lp::toLongPath(fs::path(GetParam().path)).string(), GetParam().longForm);
}

const std::string inMiddle = pathOfLength(150) + PREFIX + std::string(146, 'b');
const std::string atStart = PREFIX + pathOfLength(296);
// 259 characters of two bytes each: the limit counts characters, not bytes.
std::string accented()
{
    std::string s;
    for (int i = 0; i < 259; ++i)
        s += "\xC3\xA9";
    return s;
}

// 129 characters above U+FFFF: 258 UTF-16 units, 129 wide characters on
// Linux, 516 bytes. Only the count in UTF-16 units puts the limit between
// these two rows.
std::string emoji129()
{
    std::string s;
    for (int i = 0; i < 129; ++i)
        s += "\xF0\x9F\x98\x80"; // U+1F600
    return s;
}
const std::string emoji259 = "/" + emoji129();
const std::string emoji260 = "/a" + emoji129();

INSTANTIATE_TEST_SUITE_P(
    Cases, ToLongPath,
    ::testing::Values(LongFormCase{"Empty", "", ""}, LongFormCase{"Chars259", pathOfLength(259), pathOfLength(259)},
                      LongFormCase{"Chars260", pathOfLength(260), PREFIX + pathOfLength(260)},
                      LongFormCase{"Chars300", pathOfLength(300), PREFIX + pathOfLength(300)},
                      LongFormCase{"PrefixAtStart", atStart, atStart},
                      LongFormCase{"PrefixInTheMiddle", inMiddle, inMiddle},
                      LongFormCase{"PrefixBelowTheLimit", PREFIX + "short", PREFIX + "short"},
                      LongFormCase{"Wide259InMoreBytes", accented(), accented()},
                      LongFormCase{"Utf16Units259AboveTheBasicPlane", emoji259, emoji259},
                      LongFormCase{"Utf16Units260AboveTheBasicPlane", emoji260, PREFIX + emoji260}),
    [](const ::testing::TestParamInfo<LongFormCase>& info) { return std::string(info.param.name); });

// Real files below a folder whose paths are longer than 260 characters.
class LongPathFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.isValid());
        deep_ = fs::path(temp_.path().toStdString());
        for (int i = 0; i < 3; ++i)
            deep_ /= std::string(100, char('a' + i));
        ASSERT_GE(deep_.string().size(), 300u);
    }

    static void write(const fs::path& file, const std::string& content)
    {
        fs::ofstream out(file, std::ios::binary);
        out << content;
    }

    static std::string read(const fs::path& file)
    {
        fs::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    QTemporaryDir temp_;
    fs::path deep_;
};

TEST_F(LongPathFiles, CreateDirectoriesMakesMissingParentsOnce)
{
    EXPECT_TRUE(lp::createDirectories(deep_));
    EXPECT_TRUE(fs::is_directory(deep_));
    EXPECT_FALSE(lp::createDirectories(deep_));
}

TEST_F(LongPathFiles, CreateDirectoriesThrowsWhereAFileStands)
{
    const fs::path file = fs::path(temp_.path().toStdString()) / "plain";
    write(file, "x");
    EXPECT_THROW(lp::createDirectories(file / "sub"), fs::filesystem_error);
}

TEST_F(LongPathFiles, ExistsAndFileSize)
{
    lp::createDirectories(deep_);
    const fs::path file = deep_ / "file.log";
    write(file, "12345");

    EXPECT_TRUE(lp::exists(file));
    EXPECT_TRUE(lp::exists(deep_));
    EXPECT_FALSE(lp::exists(deep_ / "missing"));
    EXPECT_FALSE(lp::exists(deep_ / "missing" / "below"));

    EXPECT_EQ(lp::fileSize(file), 5u);
    EXPECT_EQ(lp::fileSize(deep_ / "missing"), UINT64_MAX);
    EXPECT_EQ(lp::fileSize(deep_), UINT64_MAX);
}

TEST_F(LongPathFiles, RenameReplacesAnExistingFileAndIgnoresAMissingOne)
{
    lp::createDirectories(deep_);
    const fs::path from = deep_ / "current.log";
    const fs::path to = deep_ / "archived.log";
    write(from, "new");
    write(to, "old and longer");

    lp::rename(from, to);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(read(to), "new");

    EXPECT_NO_THROW(lp::rename(deep_ / "missing", deep_ / "elsewhere"));
    EXPECT_FALSE(fs::exists(deep_ / "elsewhere"));
}

TEST_F(LongPathFiles, RenameMovesAcrossVolumesKeepingLastWriteTimeAndMode)
{
    struct stat tempStat {
    }, shmStat{};
    if (::stat(temp_.path().toLocal8Bit().constData(), &tempStat) != 0 || ::stat("/dev/shm", &shmStat) != 0
        || tempStat.st_dev == shmStat.st_dev)
        GTEST_SKIP() << "needs /dev/shm on a volume of its own";
    QTemporaryDir other(QStringLiteral("/dev/shm/longpath-XXXXXX"));
    ASSERT_TRUE(other.isValid());
    const fs::path from = fs::path(temp_.path().toStdString()) / "moved.log";
    const fs::path to = fs::path(other.path().toStdString()) / "moved.log";
    write(from, "across");
    write(to, "replaced");
    // Pruning orders files by their last-write time.
    const timespec times[2] = {{1000000000, 0}, {1000000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, from.c_str(), times, 0), 0);
    ASSERT_EQ(::chmod(from.c_str(), 0640), 0);

    lp::rename(from, to);
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(read(to), "across");
    struct stat moved {};
    ASSERT_EQ(::stat(to.c_str(), &moved), 0);
    EXPECT_EQ(moved.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(moved.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(moved.st_mode & 07777, 0640u);
}

TEST_F(LongPathFiles, MoveAcrossVolumesThatCannotCopyEveryByteLeavesNoTarget)
{
    // Files of other volumes whose bytes cannot all be read: nothing else
    // makes a read fail partway. Neither can be deleted, so they only show
    // that the short copy is not left behind as if it were the file.
    const struct {
        const char* source;
        const char* why;
    } cases[] = {
        {"/sys/kernel/uevent_seqnum", "reads fewer bytes than its size"},
        {"/proc/self/mem", "its first read fails"},
    };
    struct stat tempStat {};
    ASSERT_EQ(::stat(temp_.path().toLocal8Bit().constData(), &tempStat), 0);
    int tried = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        struct stat sourceStat {};
        if (::stat(c.source, &sourceStat) != 0 || sourceStat.st_dev == tempStat.st_dev)
            continue;
        ++tried;
        const fs::path to = fs::path(temp_.path().toStdString()) / "copy";
        lp::rename(c.source, to);
        EXPECT_FALSE(fs::exists(to));
        EXPECT_TRUE(fs::exists(c.source));
    }
    if (tried == 0)
        GTEST_SKIP() << "needs /sys or /proc mounted";
}

TEST_F(LongPathFiles, RemoveReportsWhetherSomethingWasRemoved)
{
    lp::createDirectories(deep_);
    const fs::path file = deep_ / "file.log";
    write(file, "x");

    EXPECT_FALSE(lp::remove(deep_ / "missing"));
    EXPECT_FALSE(lp::remove(deep_.parent_path())); // not empty
    EXPECT_TRUE(fs::exists(deep_));
    EXPECT_TRUE(lp::remove(file));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(lp::remove(deep_)); // empty now
}

TEST_F(LongPathFiles, RemoveAllTakesAFolderWithWhatItHoldsAndALinkButNotWhereItPoints)
{
    const fs::path kept = deep_ / "kept";
    lp::createDirectories(kept);
    write(kept / "file.log", "x");
    const fs::path folder = deep_ / "folder";
    lp::createDirectories(folder / "inner");
    write(folder / "inner" / "file.log", "x");
    fs::create_symlink(kept, folder / "link");
    fs::create_symlink(kept, deep_ / "link");

    EXPECT_TRUE(lp::removeAll(folder));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(lp::removeAll(deep_ / "link"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(deep_ / "link")));
    EXPECT_TRUE(fs::exists(kept / "file.log"));
    EXPECT_FALSE(lp::removeAll(deep_ / "missing"));
}

} // namespace

TEST(LongPathText, FromTextIsTheUtf8BytesWhateverTheLocale)
{
    // "é", "Ω" and a character outside the BMP (a surrogate pair in Qt's text).
    const QString text = QString::fromUtf8("/tmp/\xC3\xA9/\xCE\xA9/\xF0\x9F\x98\x80.log");
    EXPECT_EQ(lp::fromText(text).native(), "/tmp/\xC3\xA9/\xCE\xA9/\xF0\x9F\x98\x80.log");
    EXPECT_EQ(lp::fromText(QString()).native(), "");
}

TEST_F(LongPathFiles, RenameHeldMovesUnderItsOwnHoldWhichGoesWithTheFile)
{
    lp::createDirectories(deep_);
    const fs::path mine = deep_ / "mine.log";
    const fs::path moved = deep_ / "moved.log";
    const fs::path taken = deep_ / "taken.log";
    write(mine, "x");
    write(taken, "t");

    Tellan::FileInUse hold(mine);
    ASSERT_TRUE(hold.held());
    // A target someone else holds: nothing moves and the hold stays.
    {
        Tellan::FileInUse other(taken);
        ASSERT_TRUE(other.held());
        EXPECT_FALSE(lp::renameHeld(mine, taken, hold));
        EXPECT_TRUE(hold.isAt(mine));
    }
    // Until the move the file stays held: another hold is refused.
    EXPECT_FALSE(Tellan::FileInUse(mine).held());
    EXPECT_TRUE(lp::renameHeld(mine, moved, hold));
    EXPECT_FALSE(hold.held());
    EXPECT_FALSE(fs::exists(mine));
    EXPECT_TRUE(Tellan::FileInUse(moved).held());

    // Without a hold of its own it honours others'.
    Tellan::FileInUse other(moved);
    ASSERT_TRUE(other.held());
    Tellan::FileInUse none;
    EXPECT_FALSE(lp::renameHeld(moved, mine, none));
    EXPECT_TRUE(fs::exists(moved));
    // A hold on another file than the one at the name is no hold on it.
    EXPECT_FALSE(lp::renameHeld(moved, mine, hold = Tellan::FileInUse(taken)));
    EXPECT_TRUE(hold.held());
    other.release();
    EXPECT_TRUE(lp::renameHeld(moved, mine, none));
    EXPECT_TRUE(fs::exists(mine));
}

TEST_F(LongPathFiles, RemoveHeldRemovesUnderItsOwnHoldAndNothingWithoutOne)
{
    lp::createDirectories(deep_);
    const fs::path mine = deep_ / "mine.log";
    const fs::path theirs = deep_ / "theirs.log";
    write(mine, "x");
    write(theirs, "x");

    Tellan::FileInUse hold(mine);
    ASSERT_TRUE(hold.held());
    EXPECT_FALSE(lp::remove(mine));
    EXPECT_TRUE(lp::removeHeld(mine, hold));
    EXPECT_FALSE(fs::exists(mine));
    EXPECT_FALSE(hold.held());

    Tellan::FileInUse other(theirs);
    Tellan::FileInUse none;
    EXPECT_FALSE(lp::removeHeld(theirs, none));
    EXPECT_TRUE(fs::exists(theirs));
    other.release();
    EXPECT_FALSE(lp::removeHeld(theirs, none));
    EXPECT_TRUE(fs::exists(theirs));
}

TEST_F(LongPathFiles, MoveAcrossVolumesWhoseCopyFailsHalfWayKeepsTheSource)
{
    TestSupport::ScriptedFiles files;
    files.everyMoveCrossesVolumes = true;
    files.copiesFailHalfWay = true;
    const Tellan::Platform::ScopedInstall<Tellan::Platform::Files> installed(&files);
    const fs::path from = fs::path(temp_.path().toStdString()) / "source.log";
    const fs::path to = fs::path(temp_.path().toStdString()) / "target.log";
    write(from, std::string(1000, 's'));

    lp::rename(from, to);
    EXPECT_EQ(read(from), std::string(1000, 's'));
    EXPECT_FALSE(fs::exists(to));

    Tellan::FileInUse hold(from);
    ASSERT_TRUE(hold.held());
    EXPECT_FALSE(lp::renameHeld(from, to, hold));
    EXPECT_EQ(read(from), std::string(1000, 's'));
    EXPECT_FALSE(fs::exists(to));
    EXPECT_TRUE(hold.isAt(from)) << "a move that did not happen keeps its hold";
    EXPECT_EQ(files.failedCopies, 2);
}

TEST_F(LongPathFiles, RemoveHeldOfAFileThatLostItsNameRemovesNothing)
{
    const fs::path held = fs::path(temp_.path().toStdString()) / "held.log";
    const fs::path other = fs::path(temp_.path().toStdString()) / "other.log";
    write(held, "sent");
    write(other, "new");
    Tellan::FileInUse hold(held);
    ASSERT_TRUE(hold.held());
    // Someone moves another file onto the name while it is held.
    ASSERT_EQ(::rename(other.c_str(), held.c_str()), 0);
    EXPECT_FALSE(lp::removeHeld(held, hold));
    EXPECT_EQ(read(held), "new");
    EXPECT_FALSE(hold.held());
}

// Paths past the kernel's limit reach it relative to a folder's descriptor.
TEST_F(LongPathFiles, FileOperationsWorkOnPathsLongerThanTheKernelTakes)
{
    std::vector<fs::path> folders;
    fs::path deepest = fs::path(temp_.path().toStdString());
    while (deepest.string().size() < PATH_MAX + 100) {
        deepest /= std::string(200, char('a' + folders.size() % 26));
        folders.push_back(deepest);
    }
    const fs::path shortFile = fs::path(temp_.path().toStdString()) / "short.log";
    write(shortFile, "12345");
    const fs::path file = deepest / "file.log";
    const fs::path moved = deepest / "moved.log";
    // Qt cannot remove what lies past the limit, also when the test fails.
    struct Cleanup {
        std::vector<fs::path> paths;
        ~Cleanup()
        {
            for (auto path = paths.rbegin(); path != paths.rend(); ++path)
                lp::remove(*path);
        }
    } cleanup;
    cleanup.paths = folders;
    cleanup.paths.push_back(file);
    cleanup.paths.push_back(moved);

    EXPECT_TRUE(lp::createDirectories(deepest));
    EXPECT_FALSE(lp::createDirectories(deepest));
    EXPECT_TRUE(lp::exists(deepest));
    lp::rename(shortFile, file);
    EXPECT_FALSE(fs::exists(shortFile));
    EXPECT_TRUE(lp::exists(file));
    EXPECT_EQ(lp::fileSize(file), 5u);
    {
        Tellan::FileInUse hold(file);
        ASSERT_TRUE(hold.held());
        EXPECT_TRUE(hold.isAt(file));
        EXPECT_FALSE(lp::remove(file)) << "held in use";
        EXPECT_TRUE(lp::renameHeld(file, moved, hold));
    }
    EXPECT_FALSE(lp::exists(file));
    EXPECT_EQ(lp::fileSize(moved), 5u);
    {
        // Another holder keeps it, and so does a change since it was stamped.
        const Tellan::FileInUse other(moved);
        ASSERT_TRUE(other.held());
        EXPECT_EQ(lp::removeIfUnchanged(moved, other.stamp()), Tellan::Platform::Removal::InUse);
    }
    const Tellan::Platform::FileStamp before = lp::stampOf(moved);
    ASSERT_TRUE(before.valid);
    {
        Tellan::FileInUse appender(moved);
        ASSERT_TRUE(appender.held());
        ASSERT_TRUE(appender.truncate(3));
    }
    EXPECT_EQ(lp::removeIfUnchanged(moved, before), Tellan::Platform::Removal::Changed);
    EXPECT_EQ(lp::fileSize(moved), 3u);
    Tellan::FileInUse hold(moved);
    ASSERT_TRUE(hold.held());
    EXPECT_EQ(lp::removeIfUnchanged(moved, hold), Tellan::Platform::Removal::Removed);
    EXPECT_FALSE(lp::exists(moved));
    EXPECT_FALSE(hold.held());

    // Taken down again, however deep: remove takes empty folders too.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        EXPECT_TRUE(lp::remove(*folder)) << folder->string().size();
}
