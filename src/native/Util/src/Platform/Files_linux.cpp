#include "Platform/Files.h"
#include "Platform/PathAt_linux.h"
#include "Platform/Platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Tellan {
namespace Platform {

namespace {

// Closes the descriptor when the copy is done with it.
struct Descriptor {
    explicit Descriptor(int value) : fd(value) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

int openAt(const boost::filesystem::path& path, int flags, mode_t mode = 0)
{
    const PathAt at(path);
    if (!at.ok())
        return -1;
    int fd;
    do
        fd = ::openat(at.folder(), at.name(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

bool statAt(const boost::filesystem::path& path, struct stat& info, int flags)
{
    const PathAt at(path);
    return at.ok() && ::fstatat(at.folder(), at.name(), &info, flags) == 0;
}

bool unlinkAt(const boost::filesystem::path& path, int flags)
{
    const PathAt at(path);
    return at.ok() && ::unlinkat(at.folder(), at.name(), flags) == 0;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= std::size_t(written);
    }
    return true;
}

// Every byte of `from`, or false. A read that fails partway, or a file that
// ends short of the size it had when opened, is no copy: the caller deletes
// the source after a copy, so a short one would lose the rest.
bool copyBytes(int from, int to, std::uint64_t expected)
{
    std::vector<char> buffer(64 * 1024);
    std::uint64_t copied = 0;
    for (;;) {
        const ssize_t read = ::read(from, buffer.data(), buffer.size());
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return false;
        if (read == 0)
            return copied == expected;
        if (!writeAll(to, buffer.data(), std::size_t(read)))
            return false;
        copied += std::uint64_t(read);
    }
}

class LinuxFiles final : public Files {
public:
    int statusOf(const boost::filesystem::path& path, Status& status) override
    {
        struct stat info {};
        if (!statAt(path, info, 0))
            return errno;
        status.regularFile = S_ISREG(info.st_mode);
        status.size = std::uint64_t(info.st_size);
        status.lastWrite = std::int64_t(info.st_mtim.tv_sec);
        return 0;
    }

    bool exists(const boost::filesystem::path& path) override
    {
        struct stat info {};
        return statAt(path, info, 0);
    }

    std::uint64_t fileSize(const boost::filesystem::path& path) override
    {
        struct stat info {};
        if (!statAt(path, info, 0) || S_ISDIR(info.st_mode))
            return std::numeric_limits<std::uint64_t>::max();
        return std::uint64_t(info.st_size);
    }

    int makeFolder(const boost::filesystem::path& path) override
    {
        const PathAt at(path);
        if (!at.ok())
            return errno;
        return ::mkdirat(at.folder(), at.name(), 0777) == 0 ? 0 : errno;
    }

    Move move(const boost::filesystem::path& from, const boost::filesystem::path& to) override
    {
        const PathAt source(from);
        const PathAt target(to);
        if (!source.ok() || !target.ok())
            return Move::Failed;
        if (::renameat(source.folder(), source.name(), target.folder(), target.name()) == 0)
            return Move::Moved;
        return errno == EXDEV ? Move::OtherVolume : Move::Failed;
    }

    // Keeps the file's last-write time and mode, as a move does: pruning
    // orders files by that time.
    bool copy(const boost::filesystem::path& from, const boost::filesystem::path& to) override
    {
        // Not blocking, so that a pipe at the path is refused rather than waited on.
        const Descriptor in(openAt(from, O_RDONLY | O_NONBLOCK));
        struct stat source {};
        if (in.fd < 0 || ::fstat(in.fd, &source) != 0 || !S_ISREG(source.st_mode))
            return false;
        bool copied = false;
        {
            Descriptor out(openAt(to, O_WRONLY | O_CREAT | O_TRUNC, 0600));
            if (out.fd < 0)
                return false;
            copied = copyBytes(in.fd, out.fd, std::uint64_t(source.st_size));
            if (copied) {
                ::fchmod(out.fd, source.st_mode & 07777);
                const timespec times[2] = {source.st_atim, source.st_mtim};
                ::futimens(out.fd, times);
            }
            // Closed here, not by the Descriptor: close can report a late write error.
            const int fd = out.fd;
            out.fd = -1;
            copied = ::close(fd) == 0 && copied;
        }
        if (!copied)
            unlinkAt(to, 0);
        return copied;
    }

    bool remove(const boost::filesystem::path& path) override
    {
        if (unlinkAt(path, 0))
            return true;
        return errno == EISDIR && unlinkAt(path, AT_REMOVEDIR);
    }

    int openForReading(const boost::filesystem::path& path) override
    {
        const int fd = openAt(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) {
            setLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND_CODE : ERROR_ACCESS_DENIED_CODE);
            return -1;
        }
        if (regularFileOnly(fd) < 0)
            return -1;
        // Reads of a regular file never block; later reads need no flag.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }

    void closeHandle(int handle) override
    {
        if (handle >= 0)
            ::close(handle);
    }
};

} // namespace

Files& Files::native() { return immortal<LinuxFiles>(); }

} // namespace Platform
} // namespace Tellan
