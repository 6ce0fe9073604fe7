#include "Storage/Storage.h"

#include "OwnProcess.h"
#include "Printers.h"
#include "RecordingSink.h"
#include "TempProfile.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

using Tellan::Storage;

namespace {

const char* const kFolders[] = {
    "Data/Offline",
    "Data",
    "Data/Artwork Cache",
    "Data/Sorvel Cache",
    "Data/Library",
    "Data/Local Storage",
    "Logs",
    "Data/App Cache",
    "User Data/Crashpad/reports",
    "Data/Download",
    "Data/Streaming Cache",
    "Data/Search Index Cache",
    "LibraryDump",
    "Data/Player Config",
};

class StorageTest : public ::testing::Test {
protected:
    QString root() const { return profile.dataHome() + "/Zorvik Music"; }
    bool exists(const QString& relative) const { return QFileInfo(root() + "/" + relative).isDir(); }
    std::size_t errorLines() const { return sink.linesContaining("TellanHelper : E ").size(); }

    TestSupport::TempProfile profile;
    TestSupport::RecordingSink& sink = TestSupport::installRecordingSink();
};

} // namespace

// The locations are kept for the process's life: in a process of its own.
TEST_F(StorageTest, FirstAndSecondStartOnACleanProfile)
{
    if (!TestSupport::inOwnProcess())
        return TestSupport::runInOwnProcess();
    EXPECT_TRUE(Storage::logsDirectory().isEmpty());
    EXPECT_TRUE(Storage::crashReportsDirectory().isEmpty());

    ASSERT_TRUE(Storage::InitStorageLocations());
    for (const char* folder : kFolders)
        EXPECT_TRUE(exists(folder)) << folder;
    EXPECT_TRUE(exists("User Data/Crashpad"));
    for (const char* computedOnly : {"Updater", "Data/Ipc"})
        EXPECT_FALSE(QFileInfo::exists(root() + "/" + computedOnly)) << computedOnly;
    for (const char* inMusic : {"Zorvik Music", "Offline", "iTunes"})
        EXPECT_FALSE(QFileInfo::exists(profile.music() + "/" + inMusic)) << inMusic;

    EXPECT_EQ(Storage::logsDirectory(), root() + "/Logs");
    EXPECT_EQ(Storage::crashReportsDirectory(), root() + "/User Data/Crashpad/reports");
    EXPECT_EQ(Storage::musicDirectory(), profile.music() + "/Zorvik Music");
    EXPECT_EQ(Storage::iTunesDirectory(), profile.music() + "/iTunes");
    EXPECT_EQ(Storage::updaterDirectory(), root() + "/Updater");

    const auto warnings = sink.linesWithEvent("rebrandToNewMusicDirectory");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(" : W TellanStorage : rebrandToNewMusicDirectory : function = "
                               "Tellan>Storage>InitStorageLocations , newDirectory = "
                               + (profile.music() + "/Zorvik Music").toStdString() + " : line "),
              std::string::npos)
        << warnings[0];
    EXPECT_EQ(sink.lines().size(), 1u);

    sink.clear();
    EXPECT_TRUE(Storage::InitStorageLocations());
    EXPECT_EQ(sink.events(), std::vector<std::string>{"rebrandToNewMusicDirectory"});
}

TEST_F(StorageTest, AnEntryNamedZorvikMp3SelectsTheOldMusicFolder)
{
    for (const bool asFile : {false, true}) {
        QDir(profile.music()).removeRecursively();
        QDir().mkpath(profile.music() + "/Zorvik Music");
        if (asFile)
            TestSupport::writeFile(profile.music() + "/Zorvik MP3", 1);
        else
            QDir().mkpath(profile.music() + "/Zorvik MP3");
        sink.clear();
        EXPECT_TRUE(Storage::InitStorageLocations());
        EXPECT_EQ(sink.events(), std::vector<std::string>{"usingOldMusicDirectory"}) << asFile;
        EXPECT_EQ(sink.linesContaining("oldDirectory = " + (profile.music() + "/Zorvik MP3").toStdString()).size(), 1u);
        EXPECT_EQ(Storage::musicDirectory(), profile.music() + "/Zorvik MP3");
    }
}

TEST_F(StorageTest, TheFirstFolderThatCannotBeCreatedEndsTheCall)
{
    const struct {
        const char* blocked; // a plain file stands here
        const char* event;
        int created; // folders of the table that exist afterwards
    } cases[] = {
        {"", "CouldNotCreateOfflineMusicDirectory", 0},
        {"Logs", "CouldNotCreateLogsDirectory", 6},
        {"Data/Player Config", "CouldNotCreatePlayerConfigDirectory", 13},
    };
    for (const auto& c : cases) {
        QDir(root()).removeRecursively();
        QFile::remove(root());
        TestSupport::writeFile(c.blocked[0] ? root() + "/" + c.blocked : root(), 0);
        if (c.blocked[0])
            QDir().mkpath(root() + "/Data/Ipc");
        sink.clear();

        EXPECT_FALSE(Storage::InitStorageLocations()) << c.event;
        const auto events = sink.events();
        ASSERT_EQ(events.size(), 2u) << c.event;
        EXPECT_EQ(events[1], c.event);
        EXPECT_EQ(sink.linesContaining(" : E TellanStorage : " + std::string(c.event)
                                       + " : function = Tellan>Storage>InitStorageLocations : line ")
                      .size(),
                  1u);
        int created = 0;
        for (const char* folder : kFolders)
            created += exists(folder);
        EXPECT_EQ(created, c.created) << c.event;
        if (c.blocked[0]) {
            EXPECT_TRUE(exists("Data/Ipc")) << "the Ipc folder is left alone on failure";
        }
        EXPECT_EQ(Storage::logsDirectory(), root() + "/Logs");
        EXPECT_EQ(Storage::crashReportsDirectory(), root() + "/User Data/Crashpad/reports");
    }
}

TEST_F(StorageTest, AnEmptyIpcFolderIsRemovedAndOneWithFilesStays)
{
    QDir().mkpath(root() + "/Data/Ipc");
    EXPECT_TRUE(Storage::InitStorageLocations());
    EXPECT_FALSE(QFileInfo::exists(root() + "/Data/Ipc"));
    EXPECT_TRUE(exists("Data"));

    TestSupport::writeFile(root() + "/Data/Ipc/socket", 3);
    EXPECT_TRUE(Storage::InitStorageLocations());
    EXPECT_TRUE(QFileInfo::exists(root() + "/Data/Ipc/socket"));
    EXPECT_EQ(errorLines(), 0u);
}
