#include "LongPath/FileInUse.h"

#include "Platform/FileShare.h"
#include "Platform/Platform.h"

#include <utility>

namespace Tellan {

using Platform::FileShare;
using Platform::Installed;

FileInUse::FileInUse(const boost::filesystem::path& path) : handle_(Installed<FileShare>::get().holdInUse(path))
{
    FileShare& share = Installed<FileShare>::get();
    stamp_ = held() ? share.stampOfHeld(handle_) : share.stampOf(path);
}

FileInUse::~FileInUse() { release(); }

FileInUse::FileInUse(FileInUse&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), stamp_(std::exchange(other.stamp_, Platform::FileStamp()))
{
}

FileInUse& FileInUse::operator=(FileInUse&& other) noexcept
{
    if (this != &other) {
        release();
        handle_ = std::exchange(other.handle_, -1);
        stamp_ = std::exchange(other.stamp_, Platform::FileStamp());
    }
    return *this;
}

void FileInUse::release()
{
    if (handle_ >= 0)
        Installed<FileShare>::get().releaseInUse(std::exchange(handle_, -1));
}

bool FileInUse::isAt(const boost::filesystem::path& path) const
{
    return held() && Installed<FileShare>::get().isHeldAt(handle_, path);
}

bool FileInUse::truncate(std::uint64_t size)
{
    return held() && Installed<FileShare>::get().truncateHeld(handle_, size);
}

} // namespace Tellan

namespace Tellan {

Platform::Removal FileInUse::removeIfUnchanged(const boost::filesystem::path& path, std::chrono::milliseconds quiet)
{
    return Installed<FileShare>::get().removeIfUnchanged(path, stamp_, std::exchange(handle_, -1), quiet);
}

} // namespace Tellan
