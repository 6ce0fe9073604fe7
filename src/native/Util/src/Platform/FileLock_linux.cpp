#include "Platform/FileLock.h"

#include <cerrno>
#include <fcntl.h>

namespace Tellan {
namespace Platform {

namespace {

// Open-file-description locks: classic fcntl locks belong to the process, so
// any close of the file anywhere in the process would drop them.
bool setLock(int descriptor, short type, bool wait)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // the whole file, however long it grows
    lock.l_pid = 0;
    for (;;) {
        if (::fcntl(descriptor, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) {
            setLastError(ERROR_SUCCESS_CODE);
            return true;
        }
        if (errno == EINTR)
            continue;
        switch (errno) {
        case EAGAIN:
        case EACCES: setLastError(ERROR_LOCK_VIOLATION_CODE); break;
        case EBADF: setLastError(ERROR_INVALID_HANDLE_CODE); break;
        default: setLastError(ERROR_ACCESS_DENIED_CODE); break;
        }
        return false;
    }
}

class LinuxFileLock final : public FileLock {
public:
    bool lockFileEx(int descriptor, std::uint32_t flags) override
    {
        return setLock(descriptor, (flags & LOCKFILE_EXCLUSIVE_LOCK) ? F_WRLCK : F_RDLCK,
                       !(flags & LOCKFILE_FAIL_IMMEDIATELY));
    }

    bool unlockFileEx(int descriptor) override { return setLock(descriptor, F_UNLCK, false); }
};

} // namespace

FileLock& FileLock::native() { return immortal<LinuxFileLock>(); }

} // namespace Platform
} // namespace Tellan
