#pragma once

#include "Platform/FileShare.h"

#include <boost/filesystem/path.hpp>

#include <cstdint>

namespace Tellan {

// Holds a file in use, as an open Windows file without delete sharing is:
// while held, LongPath::rename and LongPath::remove of this process and of
// any other fail on it, and pruning leaves it. A holder that moves or deletes
// its own file releases the hold first.
class FileInUse {
public:
    FileInUse() = default;
    // Tries to hold the file; held() tells whether it worked (the platform's
    // last error says why not).
    explicit FileInUse(const boost::filesystem::path& path);
    ~FileInUse();

    FileInUse(FileInUse&& other) noexcept;
    FileInUse& operator=(FileInUse&& other) noexcept;
    FileInUse(const FileInUse&) = delete;
    FileInUse& operator=(const FileInUse&) = delete;

    bool held() const { return handle_ >= 0; }
    void release();

    // True when the held file is the one now at `path`, not another that
    // took its name.
    bool isAt(const boost::filesystem::path& path) const;
    // Cuts the held file back to `size` bytes wherever it now stands; false
    // without a hold or when it cannot.
    bool truncate(std::uint64_t size);

    // The file as it was when the hold was tried: the held file, or, when
    // it could not be held, the entry then at the path (invalid if none).
    const Platform::FileStamp& stamp() const { return stamp_; }

    // Deletes the file at `path` only if it is still the stamped file,
    // unchanged and written by no one (see FileShare::removeIfUnchanged);
    // the hold goes in any case.
    Platform::Removal removeIfUnchanged(const boost::filesystem::path& path, std::chrono::milliseconds quiet);

private:
    int handle_ = -1;
    Platform::FileStamp stamp_;
};

} // namespace Tellan
