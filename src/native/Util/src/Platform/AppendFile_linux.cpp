#include "Platform/AppendFile.h"
#include "Platform/PathAt_linux.h"
#include "Platform/Platform.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace Tellan {
namespace Platform {

namespace {

class LinuxAppendFile final : public AppendFile {
public:
    int open(const boost::filesystem::path& path) override { return openWith(path, 0); }

    int create(const boost::filesystem::path& path) override { return openWith(path, O_EXCL); }

    void close(int handle) override
    {
        if (handle >= 0)
            ::close(handle);
    }
    std::int64_t append(int handle, const char* data, std::size_t size) override
    {
        ssize_t written;
        do
            written = ::write(handle, data, size);
        while (written < 0 && errno == EINTR);
        if (written < 0) {
            setLastError(errorFromErrno(errno));
            return -1;
        }
        return written;
    }

    std::int64_t readAt(int handle, std::uint64_t offset, char* data, std::size_t size) override
    {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            setLastError(ERROR_INVALID_PARAMETER_CODE);
            return -1;
        }
        ssize_t got;
        do
            got = ::pread(handle, data, size, static_cast<off_t>(offset));
        while (got < 0 && errno == EINTR);
        if (got < 0) {
            setLastError(errorFromErrno(errno));
            return -1;
        }
        return got;
    }

private:
    int openWith(const boost::filesystem::path& path, int extra)
    {
        // A path of any length, as the layer's other file operations take it.
        const PathAt at(path);
        if (!at.ok()) {
            setLastError(errorFromErrno(errno));
            return -1;
        }
        int fd;
        do
            fd = ::openat(at.folder(), at.name(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | extra, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd < 0)
            setLastError(errorFromErrno(errno));
        return fd;
    }
};

} // namespace

AppendFile& AppendFile::native() { return immortal<LinuxAppendFile>(); }

} // namespace Platform
} // namespace Tellan
