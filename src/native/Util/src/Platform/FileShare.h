#pragma once

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <cstdint>

namespace Tellan {
namespace Platform {

// Windows file sharing, as far as the programs rely on it. There, a file open
// for writing cannot be renamed or deleted by anyone else, and a file that its
// writer holds open without sharing cannot be opened for reading. Linux allows
// both, so a holder marks its file in use with an open-file-description lock
// (which every other description sees, in this process or another), and a
// reader asks whether anyone has the file open for writing.
//
// Those locks keep out only processes that ask, so what a holder deletes is
// checked too: it must still be the file that was read (FileStamp) with no
// writer known.
//
// Paths may be of any length: beyond the kernel's limit they reach it
// relative to an open descriptor of their folder.

// A file as it was when looked at: which file, how big, when last written.
struct FileStamp {
    bool valid = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNanoseconds = 0;
    // The entry is a symbolic link (only from stampOf, which does not follow).
    bool symbolicLink = false;

    bool sameFile(const FileStamp& other) const
    {
        return valid && other.valid && device == other.device && inode == other.inode;
    }
    bool unchangedFrom(const FileStamp& other) const
    {
        return sameFile(other) && size == other.size && modifiedNanoseconds == other.modifiedNanoseconds;
    }
};

// Whether anyone has a file open for writing.
enum class Writers {
    None,
    Open,
    // Cannot be told: not the file's owner, a file system without leases,
    // not a regular file.
    Unknown,
};

// What became of a file that was to be deleted only if unchanged.
enum class Removal {
    Removed,
    // Nothing stands at the name any more.
    Missing,
    // The name stands for another file now; nothing was deleted.
    Replaced,
    // Another size or modification time than when it was looked at.
    Changed,
    // Someone has it open for writing.
    BeingWritten,
    // Its writers cannot be told, and it changed within the quiet period.
    NotQuiet,
    // Another description holds it in use.
    InUse,
    Failed,
};

class FileShare {
public:
    virtual ~FileShare() = default;

    // Marks the file at `path` as in use through a description of its own
    // (read-write where allowed, else read-only) locked over the whole file.
    // Returns a handle >= 0, or -1 with the last error set: 32 (sharing
    // violation) when another description holds the file, 2 when it does not
    // exist, 5 otherwise.
    virtual int holdInUse(const boost::filesystem::path& path) = 0;

    // Ends a hold; -1 is ignored.
    virtual void releaseInUse(int handle) = 0;

    // True when the held file is the one now at `path`: the same file, not
    // merely the same name (someone may have moved it and put another there).
    virtual bool isHeldAt(int handle, const boost::filesystem::path& path) = 0;

    // Cuts the held file back to `size` bytes, wherever it now stands.
    // False when it cannot (no hold, a read-only hold, an error).
    virtual bool truncateHeld(int handle, std::uint64_t size) = 0;

    // True when another description holds the file in use. A missing file,
    // or any error, gives false.
    virtual bool isInUse(const boost::filesystem::path& path) = 0;

    // Whether some process, this one included, has the file open for
    // writing; Unknown when it cannot be told (not a regular file, not the
    // file's owner, a file system without leases).
    virtual Writers writersOf(const boost::filesystem::path& path) = 0;

    // True when the file at `path` (not following a link) has been neither
    // written nor had its attributes changed for `period`.
    virtual bool quietFor(const boost::filesystem::path& path, std::chrono::milliseconds period) = 0;

    // The entry at `path` itself, a link not followed; invalid when missing.
    virtual FileStamp stampOf(const boost::filesystem::path& path) = 0;
    // The held file, wherever it now stands; invalid without a hold.
    virtual FileStamp stampOfHeld(int handle) = 0;

    // Deletes the file at `path` only when it is `expected` unchanged, no
    // other description holds it, and no writer is known (or, when writers
    // cannot be told, it has been quiet for `quiet`). The file is first moved
    // to a private name in its folder, then checked, then deleted or moved
    // back, so that a file put at `path` meanwhile is never the one deleted.
    // `handle` (a hold on the file, or -1) is released on the way, after the
    // move and before the test for writers, which its own description would
    // otherwise count.
    virtual Removal removeIfUnchanged(const boost::filesystem::path& path, const FileStamp& expected, int handle,
                                      std::chrono::milliseconds quiet) = 0;

    static FileShare& native();
};

} // namespace Platform
} // namespace Tellan
