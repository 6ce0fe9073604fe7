#include "ScriptedFileShare.h"

namespace TestSupport {

using Tellan::Platform::FileShare;
using Tellan::Platform::FileStamp;
using Tellan::Platform::Removal;
using Tellan::Platform::Writers;

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

Writers ScriptedFileShare::writersOf(const boost::filesystem::path& path)
{
    return writersUnknown ? Writers::Unknown : FileShare::native().writersOf(path);
}

bool ScriptedFileShare::quietFor(const boost::filesystem::path& path, std::chrono::milliseconds period)
{
    switch (quietness.load()) {
    case Quiet::Yes: return true;
    case Quiet::No: return false;
    case Quiet::Native: break;
    }
    return FileShare::native().quietFor(path, period);
}

FileStamp ScriptedFileShare::stampOf(const boost::filesystem::path& path) { return FileShare::native().stampOf(path); }

FileStamp ScriptedFileShare::stampOfHeld(int handle) { return FileShare::native().stampOfHeld(handle); }

Removal ScriptedFileShare::removeIfUnchanged(const boost::filesystem::path& path, const FileStamp& expected, int handle,
                                             std::chrono::milliseconds quiet)
{
    if (!writersUnknown)
        return FileShare::native().removeIfUnchanged(path, expected, handle, quiet);
    // The native removal tests the writers itself: here they count as
    // unknown, so it must have been quiet as well.
    const bool wasQuiet = quietFor(path, quiet);
    if (!wasQuiet) {
        releaseInUse(handle);
        return FileShare::native().stampOf(path).sameFile(expected) ? Removal::NotQuiet : Removal::Replaced;
    }
    return FileShare::native().removeIfUnchanged(path, expected, handle, quiet);
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
