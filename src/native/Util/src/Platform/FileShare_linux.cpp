#include "Platform/FileShare.h"
#include "Platform/PathAt_linux.h"
#include "Platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace Tellan {
namespace Platform {

namespace {

struct flock wholeFile(short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // to the end, however far the file grows
    return lock;
}

int openForLock(int folder, const char* name, int flags)
{
    int fd;
    do
        fd = ::openat(folder, name, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// A symbolic link at the path is never followed: the product's folders hold
// none of their own.
int openForLock(const boost::filesystem::path& path, int flags)
{
    const PathAt at(path);
    return at.ok() ? openForLock(at.folder(), at.name(), flags) : -1;
}

FileStamp stampFrom(const struct stat& info)
{
    FileStamp stamp;
    stamp.valid = true;
    stamp.device = std::uint64_t(info.st_dev);
    stamp.inode = std::uint64_t(info.st_ino);
    stamp.size = std::uint64_t(info.st_size);
    stamp.modifiedNanoseconds = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.symbolicLink = S_ISLNK(info.st_mode);
    return stamp;
}

std::int64_t nanoseconds(const timespec& time) { return std::int64_t(time.tv_sec) * 1000000000 + time.tv_nsec; }

// Neither its contents nor its attributes changed for `period` (the change
// time moves with both and cannot be set back).
bool quiet(const struct stat& info, std::chrono::milliseconds period)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t last = std::max(nanoseconds(info.st_mtim), nanoseconds(info.st_ctim));
    return nanoseconds(now) - last >= std::int64_t(period.count()) * 1000000;
}

bool heldByAnother(int fd)
{
    // Asking for a write lock reports any lock another description holds.
    struct flock lock = wholeFile(F_WRLCK);
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// A read lease is refused while any description is open for writing. While
// it is held, a writer's open waits for it to go, so the lease may cover a
// deletion. A writer opening the file meanwhile breaks the lease, and the
// kernel signals the holder: SIGIO by default, which would end the process.
// SIGURG is ignored unless someone handles it.
Writers takeReadLease(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return Writers::Unknown;
    if (::fcntl(fd, F_SETSIG, SIGURG) == 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
        return Writers::None;
    return errno == EAGAIN ? Writers::Open : Writers::Unknown;
}

void dropLease(int fd) { ::fcntl(fd, F_SETLEASE, F_UNLCK); }

// A name beside the file that no pass takes up: hidden, and matching no
// pattern of a file to send.
std::string privateName()
{
    static std::atomic<unsigned> counter{0};
    return ".zorvik-removing-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

// Moves `from` to `to` in one folder unless something stands at `to`. Where
// the file system refuses the no-replace flag, a hard link does the same:
// it fails when the name is taken.
bool moveNoReplace(int folder, const char* from, const char* to)
{
    if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL || ::linkat(folder, from, folder, to, 0) != 0)
        return false;
    return ::unlinkat(folder, from, 0) == 0;
}

// A description that can write. While someone tests for writers with a
// read lease, the kernel refuses a non-blocking writable open with
// EWOULDBLOCK until that lease goes, which is at once: try again a few
// times, and call a lease that stays a sharing violation.
int openForHold(const boost::filesystem::path& path)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = openForLock(path, O_RDWR);
        if (fd >= 0 || errno != EWOULDBLOCK)
            return fd;
        ::usleep(1000);
    }
    return -1;
}

class LinuxFileShare final : public FileShare {
public:
    int holdInUse(const boost::filesystem::path& path) override
    {
        // A write lock needs a writable description; a file we may only read
        // is held with a read lock, which still stops every write lock.
        int fd = openForHold(path);
        short type = F_WRLCK;
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
            fd = openForLock(path, O_RDONLY);
            type = F_RDLCK;
        }
        if (fd < 0 && errno == EWOULDBLOCK) {
            setLastError(ERROR_SHARING_VIOLATION_CODE);
            return -1;
        }
        if (fd < 0) {
            // Not errorFromErrno: holding a file promises 2 (missing) or 5.
            setLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND_CODE : ERROR_ACCESS_DENIED_CODE);
            return -1;
        }
        if (regularFileOnly(fd) < 0)
            return -1;
        struct flock lock = wholeFile(type);
        if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            const int error = errno;
            ::close(fd);
            // A lock held by another description: EAGAIN or EACCES.
            setLastError(error == EAGAIN || error == EACCES ? ERROR_SHARING_VIOLATION_CODE : ERROR_ACCESS_DENIED_CODE);
            return -1;
        }
        return fd;
    }

    void releaseInUse(int handle) override
    {
        // Closing the description drops its lock.
        if (handle >= 0)
            ::close(handle);
    }

    bool isHeldAt(int handle, const boost::filesystem::path& path) override
    {
        return handle >= 0 && stampOfHeld(handle).sameFile(stampOf(path));
    }

    bool truncateHeld(int handle, std::uint64_t size) override
    {
        if (handle < 0 || size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
            return false;
        int result;
        do
            result = ::ftruncate(handle, static_cast<off_t>(size));
        while (result != 0 && errno == EINTR);
        return result == 0;
    }

    bool isInUse(const boost::filesystem::path& path) override
    {
        const int fd = openForLock(path, O_RDONLY);
        if (fd < 0)
            return false;
        const bool held = heldByAnother(fd);
        ::close(fd);
        return held;
    }

    Writers writersOf(const boost::filesystem::path& path) override
    {
        const int fd = openForLock(path, O_RDONLY);
        if (fd < 0)
            return Writers::Unknown;
        // Given back at once, so no writer is ever held up.
        const Writers writers = takeReadLease(fd);
        if (writers == Writers::None)
            dropLease(fd);
        ::close(fd);
        return writers;
    }

    bool quietFor(const boost::filesystem::path& path, std::chrono::milliseconds period) override
    {
        const PathAt at(path);
        struct stat info {};
        return at.ok() && ::fstatat(at.folder(), at.name(), &info, AT_SYMLINK_NOFOLLOW) == 0 && quiet(info, period);
    }

    FileStamp stampOf(const boost::filesystem::path& path) override
    {
        const PathAt at(path);
        struct stat info {};
        if (!at.ok() || ::fstatat(at.folder(), at.name(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return FileStamp();
        return stampFrom(info);
    }

    FileStamp stampOfHeld(int handle) override
    {
        struct stat info {};
        if (handle < 0 || ::fstat(handle, &info) != 0)
            return FileStamp();
        return stampFrom(info);
    }

    Removal removeIfUnchanged(const boost::filesystem::path& path, const FileStamp& expected, int handle,
                              std::chrono::milliseconds quietPeriod) override
    {
        const Removal removal = removeAside(path, expected, handle, quietPeriod);
        releaseInUse(handle);
        return removal;
    }

private:
    static FileStamp stampAt(int folder, const char* name)
    {
        struct stat info {};
        if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            return FileStamp();
        return stampFrom(info);
    }

    Removal removeAside(const boost::filesystem::path& path, const FileStamp& expected, int& handle,
                        std::chrono::milliseconds quietPeriod)
    {
        const PathAt at(path, true);
        if (!at.ok())
            return Removal::Failed;
        struct stat namedInfo {};
        if (::fstatat(at.folder(), at.name(), &namedInfo, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? Removal::Missing : Removal::Failed;
        const FileStamp named = stampFrom(namedInfo);
        if (!named.sameFile(expected))
            return Removal::Replaced;
        if (handle < 0) {
            // Not even moved aside while someone else holds it in use.
            const int probe = openForLock(at.folder(), at.name(), O_RDONLY);
            const bool held = probe >= 0 && heldByAnother(probe);
            if (probe >= 0)
                ::close(probe);
            if (held)
                return Removal::InUse;
        }

        // Whatever stands at the name now is what moves: checked once moved,
        // a file put there after the look above is moved back, never deleted.
        const std::string aside = privateName();
        if (!moveNoReplace(at.folder(), at.name(), aside.c_str()))
            return Removal::Failed;
        const auto moveBack = [&](Removal removal) {
            // Put back only where nothing took the name meanwhile.
            moveNoReplace(at.folder(), aside.c_str(), at.name());
            return removal;
        };
        if (!stampAt(at.folder(), aside.c_str()).sameFile(expected))
            return moveBack(Removal::Replaced);

        // Out of every pass's sight now: the hold can go, so that its own
        // description does not count as a writer.
        releaseInUse(handle);
        handle = -1;
        const int fd = openForLock(at.folder(), aside.c_str(), O_RDONLY);
        if (fd < 0)
            return moveBack(Removal::Failed);
        Removal removal = Removal::Removed;
        const Writers writers = takeReadLease(fd);
        struct stat info {};
        if (::fstat(fd, &info) != 0)
            removal = Removal::Failed;
        else if (!stampFrom(info).unchangedFrom(expected))
            removal = Removal::Changed;
        else if (heldByAnother(fd))
            removal = Removal::InUse;
        else if (writers == Writers::Open)
            removal = Removal::BeingWritten;
        // Judged as it stood at its name: the move aside sets the change time.
        else if (writers == Writers::Unknown && !quiet(namedInfo, quietPeriod))
            removal = Removal::NotQuiet;
        // Under the lease no writer can open the file before it is gone.
        if (removal == Removal::Removed && ::unlinkat(at.folder(), aside.c_str(), 0) != 0)
            removal = Removal::Failed;
        if (writers == Writers::None)
            dropLease(fd);
        ::close(fd);
        return removal == Removal::Removed ? removal : moveBack(removal);
    }
};

} // namespace

FileShare& FileShare::native() { return immortal<LinuxFileShare>(); }

} // namespace Platform
} // namespace Tellan
