#include "FileSystem/FileSystemUtility.h"

#include "Logging/Log.h"
#include "Platform/FileShare.h"
#include "Platform/Files.h"
#include "Platform/Platform.h"

#include <boost/filesystem/operations.hpp>

#include <cerrno>

namespace Tellan {

namespace {

namespace fs = boost::filesystem;

// Boost's own calls go first, so that their failures still name them; a path
// past the kernel's limit (under a very long home folder) is read and
// deleted through the platform layer, relative to its folder.
bool tooLong(const boost::system::error_code& error) { return error.value() == ENAMETOOLONG; }

Platform::Files& files() { return Platform::Installed<Platform::Files>::get(); }

void removeFile(const fs::path& file)
{
    boost::system::error_code error;
    fs::remove(file, error);
    if (!tooLong(error)) {
        if (error)
            fs::remove(file);
        return;
    }
    if (!files().remove(file) && files().exists(file))
        throw fs::filesystem_error("boost::filesystem::remove", file, error);
}

std::uint64_t sizeOf(const fs::path& file)
{
    boost::system::error_code error;
    const std::uint64_t size = fs::file_size(file, error);
    if (!tooLong(error))
        return error ? fs::file_size(file) : size;
    const std::uint64_t layered = files().fileSize(file);
    if (layered == std::uint64_t(-1))
        throw fs::filesystem_error("boost::filesystem::file_size", file, error);
    return layered;
}

void deleteFile(const boost::filesystem::path& file)
{
    try {
        // Windows refuses to delete a file that is open without delete
        // sharing; the helper's open log file must survive the pruning.
        if (Platform::Installed<Platform::FileShare>::get().isInUse(file))
            throw boost::filesystem::filesystem_error(
                "cannot remove a file in use", file,
                boost::system::error_code(EBUSY, boost::system::generic_category()));
        removeFile(file);
    } catch (const boost::filesystem::filesystem_error& e) {
        TLOG_EVENT(ERROR, "FileSystemUtility", "ExceptionDeletingFile") << "Exception: " << QString::fromUtf8(e.what());
    }
}

} // namespace

void FileSystemUtility::collectFilesByAge(FolderScan& scan, const boost::filesystem::path& folder)
{
    for (boost::filesystem::directory_iterator it(folder), end; it != end; ++it) {
        const boost::filesystem::path& path = it->path();
        Platform::Files::Status status;
        boost::system::error_code error;
        boost::filesystem::status(path, error);
        if (tooLong(error)) {
            if (const int failed = files().statusOf(path, status))
                throw fs::filesystem_error("boost::filesystem::status", path,
                                           boost::system::error_code(failed, boost::system::system_category()));
            if (!status.regularFile)
                continue;
            ++scan.fileCount;
            scan.totalBytes += status.size;
            scan.filesByAge.insert(std::make_pair(std::time_t(status.lastWrite), path));
            continue;
        }
        // status() follows links: a link to a file counts, a link to a folder does not.
        if (!boost::filesystem::is_regular_file(boost::filesystem::status(path)))
            continue;
        ++scan.fileCount;
        scan.totalBytes += boost::filesystem::file_size(path);
        // multimap::insert places equal keys after the ones already there.
        scan.filesByAge.insert(std::make_pair(boost::filesystem::last_write_time(path), path));
    }
}

void FileSystemUtility::deleteOldestFilesByCount(const boost::filesystem::path& folder, unsigned int maxFiles)
{
    try {
        FolderScan scan;
        collectFilesByAge(scan, folder);
        if (scan.fileCount <= maxFiles)
            return;
        std::uint32_t toDelete = scan.fileCount - maxFiles;
        for (auto it = scan.filesByAge.begin(); it != scan.filesByAge.end() && toDelete > 0; ++it, --toDelete)
            deleteFile(it->second);
    } catch (const boost::filesystem::filesystem_error& e) {
        TLOG_EVENT(ERROR, "FileSystemUtility", "ExceptionDeletingOldestFilesByCount")
            << "Exception: " << QString::fromUtf8(e.what());
    }
}

void FileSystemUtility::deleteOldestFilesBySize(const boost::filesystem::path& folder, std::uint64_t maxBytes)
{
    try {
        FolderScan scan;
        collectFilesByAge(scan, folder);
        if (scan.totalBytes <= maxBytes)
            return;
        std::uint64_t excess = scan.totalBytes - maxBytes;
        for (auto it = scan.filesByAge.begin(); it != scan.filesByAge.end() && excess > 0; ++it) {
            // The size now, not at the scan: the file may have changed since.
            const std::uint64_t size = sizeOf(it->second);
            excess = size > excess ? 0 : excess - size;
            // Counted whether or not the deletion succeeds.
            deleteFile(it->second);
        }
    } catch (const boost::filesystem::filesystem_error& e) {
        TLOG_EVENT(ERROR, "FileSystemUtility", "ExceptionDeletingOldestFilesBySize")
            << "Exception: " << QString::fromUtf8(e.what());
    }
}

} // namespace Tellan
