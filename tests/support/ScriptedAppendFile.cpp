#include "ScriptedAppendFile.h"

#include "Platform/Platform.h"

#include <algorithm>

namespace TestSupport {

using Tellan::Platform::AppendFile;

int ScriptedAppendFile::open(const boost::filesystem::path& path) { return AppendFile::native().open(path); }

int ScriptedAppendFile::create(const boost::filesystem::path& path) { return AppendFile::native().create(path); }

void ScriptedAppendFile::close(int handle) { AppendFile::native().close(handle); }

std::int64_t ScriptedAppendFile::append(int handle, const char* data, std::size_t size)
{
    ++appends;
    std::int64_t left = room.load();
    if (left < 0)
        return AppendFile::native().append(handle, data, size);
    if (left == 0 && size != 0) {
        Tellan::Platform::setLastError(Tellan::Platform::ERROR_GEN_FAILURE_CODE);
        return -1;
    }
    const std::size_t fits = std::min<std::size_t>(size, static_cast<std::size_t>(left));
    const std::int64_t written = AppendFile::native().append(handle, data, fits);
    if (written > 0)
        room -= written;
    return written;
}

std::int64_t ScriptedAppendFile::readAt(int handle, std::uint64_t offset, char* data, std::size_t size)
{
    return AppendFile::native().readAt(handle, offset, data, size);
}

} // namespace TestSupport
