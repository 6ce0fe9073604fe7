#include "LongPath/LongPath.h"
#include "FileSystem/FileInUse.h"
#include "LongPath/KernelPath.h"
#include "Platform/FileShare.h"
#include "Platform/Platform.h"

#include <QString>

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>

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

fs::path forKernel(const fs::path& path) { return detail::kernelPath(path, toLongPath(path)); }

// A file held open elsewhere cannot be moved or deleted, as on Windows.
bool inUse(const fs::path& kernelPath) { return Platform::Installed<Platform::FileShare>::get().isInUse(kernelPath); }

// Keeps the file's last-write time and mode, as a move does: pruning orders
// files by that time.
bool copyFile(const fs::path& from, const fs::path& to)
{
    struct stat source {};
    if (::stat(from.c_str(), &source) != 0 || S_ISDIR(source.st_mode))
        return false;
    fs::ifstream in(from, std::ios::binary);
    if (!in)
        return false;
    fs::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (in.peek() != std::char_traits<char>::eof()) // an empty file would set failbit
        out << in.rdbuf();
    out.close();
    if (out.fail())
        return false;
    ::chmod(to.c_str(), source.st_mode & 07777);
    const timespec times[2] = {source.st_atim, source.st_mtim};
    ::utimensat(AT_FDCWD, to.c_str(), times, 0);
    return true;
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
