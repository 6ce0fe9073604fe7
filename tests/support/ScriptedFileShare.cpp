#include "ScriptedFileShare.h"

namespace TestSupport {

using Tellan::Platform::FileShare;

int ScriptedFileShare::holdInUse(const boost::filesystem::path& path)
{
    if (beforeHold)
        beforeHold(path);
    return FileShare::native().holdInUse(path);
}

void ScriptedFileShare::releaseInUse(int handle)
{
    FileShare::native().releaseInUse(handle);
    if (afterRelease && handle >= 0)
        afterRelease();
}

bool ScriptedFileShare::isHeldAt(int handle, const boost::filesystem::path& path)
{
    return FileShare::native().isHeldAt(handle, path);
}

bool ScriptedFileShare::truncateHeld(int handle, std::uint64_t size)
{
    return FileShare::native().truncateHeld(handle, size);
}

bool ScriptedFileShare::isInUse(const boost::filesystem::path& path)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (inUse_.count(path.lexically_normal().string()))
            return true;
    }
    return FileShare::native().isInUse(path);
}

bool ScriptedFileShare::isOpenForWriting(const boost::filesystem::path& path)
{
    return FileShare::native().isOpenForWriting(path);
}

void ScriptedFileShare::markInUse(const boost::filesystem::path& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    inUse_.insert(path.lexically_normal().string());
}

void ScriptedFileShare::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    inUse_.clear();
}

} // namespace TestSupport
