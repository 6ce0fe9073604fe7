#include "LongPath/LongPath.h"
#include "LongPath/FileInUse.h"
#include "Platform/FileShare.h"
#include "Platform/Platform.h"

#include <QString>

#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace Tellan {
namespace LongPath {

const char* const LONG_PATH_PREFIX = "\\\\?\\";

namespace {

// The limit counts UTF-16 units, as Windows does.
std::size_t wideLength(const fs::path& path)
{
    return static_cast<std::size_t>(QString::fromStdString(path.string()).size());
}

// Linux has no length limit, and a backslash is an ordinary character of a
// file name: the prefix that toLongPath adds would name another file, so the
// kernel gets the path as the caller gave it.
const fs::path& forKernel(const fs::path& path) { return path; }

// A file held open elsewhere cannot be moved or deleted, as on Windows.
bool inUse(const fs::path& kernelPath) { return Platform::Installed<Platform::FileShare>::get().isInUse(kernelPath); }

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

// Keeps the file's last-write time and mode, as a move does: pruning orders
// files by that time. A failed copy leaves no target behind.
bool copyFile(const fs::path& from, const fs::path& to)
{
    // Not blocking, so that a pipe at the path is refused rather than waited on.
    const Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat source {};
    if (in.fd < 0 || ::fstat(in.fd, &source) != 0 || !S_ISREG(source.st_mode))
        return false;
    bool copied = false;
    {
        Descriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
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
        ::unlink(to.c_str());
    return copied;
}

} // namespace

fs::path fromText(const QString& text) { return fs::path(text.toUtf8().toStdString()); }

fs::path toLongPath(const fs::path& path)
{
    if (wideLength(path) < LONG_PATH_LIMIT)
        return path;
    const std::string narrow = path.string();
    if (narrow.find(LONG_PATH_PREFIX) != std::string::npos)
        return path;
    return fs::path(LONG_PATH_PREFIX + narrow);
}

bool createDirectories(const fs::path& path) { return fs::create_directories(forKernel(path)); }

bool exists(const fs::path& path)
{
    boost::system::error_code error;
    const fs::file_status status = fs::status(forKernel(path), error);
    return status.type() != fs::status_error && status.type() != fs::file_not_found && !error;
}

std::uint64_t fileSize(const fs::path& path)
{
    boost::system::error_code error;
    return static_cast<std::uint64_t>(fs::file_size(forKernel(path), error));
}

namespace {

// Moves without asking whether the old name is in use; the new name may
// not be.
bool moveFile(const fs::path& from, const fs::path& to)
{
    if (inUse(to)) {
        Platform::setLastError(Platform::ERROR_SHARING_VIOLATION_CODE);
        return false;
    }
    boost::system::error_code error;
    fs::rename(from, to, error);
    if (error.value() != EXDEV)
        return !error;
    // Another volume: move by copying, as a move allowed to copy does.
    // Boost's own copy_file is not used: on recent kernels its
    // copy_file_range path fails across volumes after truncating the target.
    return copyFile(from, to) && fs::remove(from, error);
}

} // namespace

void rename(const fs::path& oldPath, const fs::path& newPath)
{
    const fs::path from = forKernel(oldPath);
    if (inUse(from)) {
        Platform::setLastError(Platform::ERROR_SHARING_VIOLATION_CODE);
        return;
    }
    moveFile(from, forKernel(newPath));
}

bool renameHeld(const fs::path& oldPath, const fs::path& newPath, FileInUse& hold)
{
    const fs::path from = forKernel(oldPath);
    const bool ours = hold.isAt(from);
    if (!ours && inUse(from)) {
        Platform::setLastError(Platform::ERROR_SHARING_VIOLATION_CODE);
        return false;
    }
    // The lock goes with the file to its new name, so no one can take it up
    // between the move and the release.
    const bool moved = moveFile(from, forKernel(newPath));
    if (moved && ours)
        hold.release();
    return moved;
}

bool remove(const fs::path& path)
{
    const fs::path kernel = forKernel(path);
    if (inUse(kernel)) {
        Platform::setLastError(Platform::ERROR_SHARING_VIOLATION_CODE);
        return false;
    }
    boost::system::error_code error;
    return fs::remove(kernel, error);
}

bool removeHeld(const fs::path& path, FileInUse& hold)
{
    if (!hold.isAt(forKernel(path))) {
        const bool removed = LongPath::remove(path);
        hold.release();
        return removed;
    }
    // Our hold keeps every other holder out, so the file is removed before
    // anyone else can take it up; only then does the hold go.
    boost::system::error_code error;
    const bool removed = fs::remove(forKernel(path), error);
    hold.release();
    return removed;
}

} // namespace LongPath
} // namespace Tellan
