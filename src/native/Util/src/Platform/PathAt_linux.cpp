#include "Platform/PathAt_linux.h"
#include "Platform/Platform.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tellan {
namespace Platform {

namespace {

int openFolder(int at, const std::string& piece)
{
    int fd;
    do
        fd = ::openat(at, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

PathAt::PathAt(const boost::filesystem::path& path, bool ownFolder) : folder_(AT_FDCWD)
{
    const std::string& whole = path.native();
    if (!ownFolder && whole.size() < PATH_MAX) {
        name_ = whole;
        return;
    }
    const std::string::size_type slash = whole.find_last_of('/');
    if (slash == std::string::npos) {
        name_ = whole;
        return;
    }
    name_ = whole.substr(slash + 1);
    const std::string parent = slash == 0 ? std::string("/") : whole.substr(0, slash);
    std::string::size_type at = 0;
    while (at < parent.size()) {
        std::string piece = parent.substr(at);
        std::string::size_type next = parent.size();
        if (piece.size() >= PATH_MAX) {
            const std::string::size_type cut = piece.find_last_of('/', PATH_MAX - 1);
            if (cut == std::string::npos) {
                errno = ENAMETOOLONG;
                ok_ = false;
                break;
            }
            // A leading slash is a piece of its own: the root.
            piece = cut == 0 ? std::string("/") : piece.substr(0, cut);
            next = at + cut + 1;
        }
        const int fd = openFolder(folder_, piece);
        const int error = errno;
        if (owned_)
            ::close(folder_);
        if (fd < 0) {
            folder_ = AT_FDCWD;
            owned_ = false;
            ok_ = false;
            errno = error;
            break;
        }
        folder_ = fd;
        owned_ = true;
        at = next;
    }
}

PathAt::~PathAt()
{
    if (owned_)
        ::close(folder_);
}

int regularFileOnly(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        return fd;
    ::close(fd);
    setLastError(ERROR_ACCESS_DENIED_CODE);
    return -1;
}

} // namespace Platform
} // namespace Tellan
