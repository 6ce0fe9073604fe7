#pragma once

#include <boost/filesystem/path.hpp>

#include <cstdint>

namespace Tellan {
namespace Platform {

// Windows file sharing, as far as the programs rely on it. There, a file open
// for writing cannot be renamed or deleted by anyone else, and a file that its
// writer holds open without sharing cannot be opened for reading. Linux allows
// both, so a holder marks its file in use with an open-file-description lock
// (which every other description sees, in this process or another), and a
// reader asks whether anyone has the file open for writing.
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

    // True when some process, this one included, has the file open for
    // writing. False when it cannot be told (not a regular file, not the
    // file's owner, a file system without leases).
    virtual bool isOpenForWriting(const boost::filesystem::path& path) = 0;

    static FileShare& native();
};

} // namespace Platform
} // namespace Tellan
