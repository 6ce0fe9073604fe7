#pragma once

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <ctime>
#include <map>

namespace Tellan {

// Keeps a folder bounded by deleting its oldest regular files (by last-write
// time). Only files directly inside the folder count. Every file-system
// failure is logged here; callers never see one. No locks: only one thread
// may prune a folder at a time.
class FileSystemUtility {
public:
    struct FolderScan {
        std::uint32_t fileCount = 0;
        std::uint64_t totalBytes = 0;
        // Oldest first; equal times keep the listing's order.
        std::multimap<std::time_t, boost::filesystem::path> filesByAge;
    };

    static void deleteOldestFilesByCount(const boost::filesystem::path& folder, unsigned int maxFiles);
    static void deleteOldestFilesBySize(const boost::filesystem::path& folder, std::uint64_t maxBytes);

    // Throws boost::filesystem::filesystem_error on any file-system error.
    static void collectFilesByAge(FolderScan& scan, const boost::filesystem::path& folder);
};

} // namespace Tellan
