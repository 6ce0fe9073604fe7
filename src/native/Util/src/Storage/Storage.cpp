#include "Storage/Storage.h"

#include "Foundation/ProductConstants.h"
#include "Logging/Log.h"

#include <QDir>
#include <QStandardPaths>

namespace Tellan {

namespace {

struct Locations {
    QString productRoot;
    QString data;
    QString offlineMusic;
    QString artworkCache;
    QString lyricsCache;
    QString library;
    QString localStorage;
    QString logs;
    QString appCache;
    QString crashReports;
    QString download;
    QString streamingCache;
    QString searchIndex;
    QString libraryDump;
    QString playerConfig;
    QString music;
    QString offlineInMusic;
    QString iTunes;
    QString updater;
    QString userData;
    QString ipc;
};

Locations& locations()
{
    static Locations l;
    return l;
}

QString join(const QString& parent, const QString& name) { return parent + QDir::separator() + name; }

} // namespace

QString Storage::productRootDirectory()
{
    // The generic location is the user's data folder itself, whatever
    // organisation or application name is set.
    return join(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
                QString::fromUtf8(Constants::productName));
}

bool Storage::InitStorageLocations()
{
    Locations& l = locations();

    const QString musicLocation = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    l.productRoot = productRootDirectory();
    l.data = join(l.productRoot, "Data");

    const QDir musicDir(musicLocation);
    if (musicDir.exists("Zorvik MP3")) {
        l.music = musicDir.absoluteFilePath("Zorvik MP3");
        TLOG_EVENT(WARNING, "TellanStorage", "usingOldMusicDirectory", {"oldDirectory", l.music});
    } else {
        l.music = musicDir.absoluteFilePath("Zorvik Music");
        TLOG_EVENT(WARNING, "TellanStorage", "rebrandToNewMusicDirectory", {"newDirectory", l.music});
    }

    l.offlineMusic = join(l.data, "Offline");
    l.artworkCache = join(l.data, "Artwork Cache");
    l.lyricsCache = join(l.data, "Sorvel Cache");
    l.library = join(l.data, "Library");
    l.localStorage = join(l.data, "Local Storage");
    l.logs = join(l.productRoot, "Logs");
    l.appCache = join(l.data, "App Cache");
    l.crashReports = join(join(join(l.productRoot, "User Data"), "Crashpad"), "reports");
    l.download = join(l.data, "Download");
    l.streamingCache = join(l.data, "Streaming Cache");
    l.searchIndex = join(l.data, "Search Index Cache");
    l.libraryDump = join(l.productRoot, "LibraryDump");
    l.playerConfig = join(l.data, "Player Config");
    l.offlineInMusic = join(musicDir.absolutePath(), "Offline");
    l.iTunes = join(musicLocation, "iTunes");
    l.updater = join(l.productRoot, "Updater");
    l.userData = join(l.productRoot, "User Data");
    l.ipc = join(l.data, "Ipc");

    const struct {
        const QString& path;
        const char* failureEvent;
    } folders[] = {
        {l.offlineMusic, "CouldNotCreateOfflineMusicDirectory"},
        {l.data, "CouldNotCreateDataDirectory"},
        {l.artworkCache, "CouldNotCreateArtworkCacheDirectory"},
        {l.lyricsCache, "CouldNotCreateLyricsCacheDirectory"},
        {l.library, "CouldNotCreateLibraryDirectory"},
        {l.localStorage, "CouldNotCreateLocalStorageDirectory"},
        {l.logs, "CouldNotCreateLogsDirectory"},
        {l.appCache, "CouldNotCreateAppCacheDirectory"},
        {l.crashReports, "CouldNotCreateCrashDumpDirectory"},
        {l.download, "CouldNotCreateTempDownloadDirectory"},
        {l.streamingCache, "CouldNotCreateStreamingCacheDirectory"},
        {l.searchIndex, "CouldNotCreateSearchIndexDirectory"},
        {l.libraryDump, "CouldNotCreateLibraryDumpDirectory"},
        {l.playerConfig, "CouldNotCreatePlayerConfigDirectory"},
    };
    for (const auto& folder : folders) {
        if (!QDir().mkpath(folder.path)) {
            TLOG_EVENT(ERROR, "TellanStorage", folder.failureEvent);
            return false;
        }
    }

    // Only the Ipc folder itself can go: its parent holds the folders above.
    if (QDir().exists(l.ipc))
        QDir().rmpath(l.ipc);
    return true;
}

QString Storage::logsDirectory() { return locations().logs; }
QString Storage::crashReportsDirectory() { return locations().crashReports; }
QString Storage::musicDirectory() { return locations().music; }
QString Storage::offlineMusicInMusicDirectory() { return locations().offlineInMusic; }
QString Storage::iTunesDirectory() { return locations().iTunes; }
QString Storage::updaterDirectory() { return locations().updater; }
QString Storage::userDataDirectory() { return locations().userData; }
QString Storage::ipcDirectory() { return locations().ipc; }

} // namespace Tellan
