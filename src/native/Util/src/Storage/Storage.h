#pragma once

#include <QString>

namespace Tellan {

// Where the product keeps its per-user files. InitStorageLocations is called
// once, on the main thread, before any other thread exists; the accessors
// return copies afterwards and empty texts before it.
class Storage {
public:
    // Computes every location, logs the music-folder choice, creates the
    // product's folders and removes a leftover empty Ipc folder. False at the
    // first folder that cannot be created (the locations are filled even then).
    static bool InitStorageLocations();

    // The product's folder: the user's data folder joined with the product
    // name. Worked out on each call, never created here; the one place both
    // programs take it from.
    static QString productRootDirectory();

    static QString logsDirectory();
    static QString crashReportsDirectory();

    // Computed and kept, never created here.
    static QString musicDirectory();
    static QString offlineMusicInMusicDirectory();
    static QString iTunesDirectory();
    static QString updaterDirectory();
    static QString userDataDirectory();
    static QString ipcDirectory();
};

} // namespace Tellan
