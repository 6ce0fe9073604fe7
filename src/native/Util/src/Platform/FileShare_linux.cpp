#include "Platform/FileShare.h"
#include "Platform/Platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <limits>
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

int openForLock(const boost::filesystem::path& path, int flags)
{
    int fd;
    do
        fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    return fd;
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
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            setLastError(ERROR_ACCESS_DENIED_CODE);
            return -1;
        }
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
        struct stat held {
        }, named{};
        return handle >= 0 && ::fstat(handle, &held) == 0 && ::stat(path.c_str(), &named) == 0
               && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
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
        // Asking for a write lock reports any lock another description holds.
        struct flock lock = wholeFile(F_WRLCK);
        const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
        ::close(fd);
        return held;
    }

    bool isOpenForWriting(const boost::filesystem::path& path) override
    {
        const int fd = openForLock(path, O_RDONLY);
        if (fd < 0)
            return false;
        struct stat info {};
        bool writing = false;
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            // A read lease is refused while any description is open for
            // writing; it is given back at once, so no writer is ever held up.
            // A writer opening the file meanwhile breaks the lease, and the
            // kernel signals the holder: SIGIO by default, which would end
            // the process. SIGURG is ignored unless someone handles it.
            if (::fcntl(fd, F_SETSIG, SIGURG) == 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0)
                ::fcntl(fd, F_SETLEASE, F_UNLCK);
            else
                writing = errno == EAGAIN;
        }
        ::close(fd);
        return writing;
    }
};

} // namespace

FileShare& FileShare::native() { return immortal<LinuxFileShare>(); }

} // namespace Platform
} // namespace Tellan
