#include "ScriptedFileShare.h"

namespace TestSupport {

using Tellan::Platform::FileShare;

int ScriptedFileShare::holdInUse(const boost::filesystem::path& path) { return FileShare::native().holdInUse(path); }

void ScriptedFileShare::releaseInUse(int handle) { FileShare::native().releaseInUse(handle); }

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
