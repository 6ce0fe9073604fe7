#include "LongPath/LongPath.h"
#include "LongPath/KernelPath.h"
#include "Platform/FileShare.h"
#include "Platform/Platform.h"

#include <QString>

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <string>

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

bool copyFile(const fs::path& from, const fs::path& to)
{
    boost::system::error_code error;
    if (fs::is_directory(from, error))
        return false;
    fs::ifstream in(from, std::ios::binary);
    if (!in)
        return false;
    fs::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (in.peek() != std::char_traits<char>::eof()) // an empty file would set failbit
        out << in.rdbuf();
    out.close();
    return !out.fail();
}

} // namespace

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

void rename(const fs::path& oldPath, const fs::path& newPath)
{
    const fs::path from = forKernel(oldPath);
    const fs::path to = forKernel(newPath);
    if (inUse(from) || inUse(to)) {
        Platform::setLastError(Platform::ERROR_SHARING_VIOLATION_CODE);
        return;
    }
    boost::system::error_code error;
    fs::rename(from, to, error);
    if (error.value() != EXDEV)
        return;
    // Another volume: move by copying, as a move allowed to copy does.
    // Boost's own copy_file is not used: on recent kernels its
    // copy_file_range path fails across volumes after truncating the target.
    if (copyFile(from, to))
        fs::remove(from, error);
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

} // namespace LongPath
} // namespace Tellan
