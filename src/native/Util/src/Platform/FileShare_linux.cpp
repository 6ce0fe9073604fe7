#include "Platform/FileShare.h"
#include "Platform/Platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
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

// A description that can write: while someone else tests for writers with a
// read lease, the kernel makes this open wait for that lease to go (at once)
// or, without blocking, fails it with EWOULDBLOCK. So it waits, but never on
// a FIFO or device, which only regular files are not.
int openForHold(const boost::filesystem::path& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return -1;
    if (!S_ISREG(info.st_mode)) {
        errno = EACCES;
        return -1;
    }
    int fd;
    do
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    return fd;
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
