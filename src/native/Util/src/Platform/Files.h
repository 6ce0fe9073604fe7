#pragma once

#include <boost/filesystem/path.hpp>

#include <cstdint>

namespace Tellan {
namespace Platform {

// Plain file operations on whole paths of any length: Windows takes long
// paths in their long form, and here a path beyond the kernel's limit
// reaches it relative to an open descriptor of its folder.
class Files {
public:
    virtual ~Files() = default;

    enum class Move {
        Moved,
        // The new name lies on another volume: nothing was done.
        OtherVolume,
        Failed,
    };

    struct Status {
        bool regularFile = false;
        std::uint64_t size = 0;
        // Seconds since the epoch.
        std::int64_t lastWrite = 0;
    };
    // What is at `path` (a link is followed): 0, or the errno.
    virtual int statusOf(const boost::filesystem::path& path, Status& status) = 0;

    // True when a file or folder is there (a link is followed); any error
    // gives false.
    virtual bool exists(const boost::filesystem::path& path) = 0;

    // Size in bytes (a link is followed); a missing file, a folder or an
    // error give 2^64 - 1.
    virtual std::uint64_t fileSize(const boost::filesystem::path& path) = 0;

    // Makes one folder; 0, or the errno (EEXIST when something is there).
    virtual int makeFolder(const boost::filesystem::path& path) = 0;

    // Renames within a volume, replacing a file at the new name.
    virtual Move move(const boost::filesystem::path& from, const boost::filesystem::path& to) = 0;

    // Copies every byte of a regular file, with its mode and last-write
    // time, replacing the target. False when any part fails; a failed copy
    // leaves no target and never touches the source.
    virtual bool copy(const boost::filesystem::path& from, const boost::filesystem::path& to) = 0;

    // Removes a file, or an empty folder: true when something was removed.
    virtual bool remove(const boost::filesystem::path& path) = 0;

    // Opens a regular file for reading, never through a symbolic link at
    // `path`. A handle >= 0, or -1 with the last error set (2 missing, 5
    // otherwise).
    virtual int openForReading(const boost::filesystem::path& path) = 0;
    virtual void closeHandle(int handle) = 0;

    static Files& native();
};

} // namespace Platform
} // namespace Tellan
