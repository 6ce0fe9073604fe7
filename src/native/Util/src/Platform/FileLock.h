#pragma once

// Cross-process locks on an open file (LockFileEx, UnlockFileEx over the
// whole file). A lock belongs to the open file (the Windows handle, an open
// file description here), not to the process: a second open of the same file
// in the same process conflicts with it, and closing that second one leaves
// the first lock in place. The lock goes when it is released or when the last
// descriptor of its open file closes (at the latest when the process ends).

#include "Platform/Platform.h"

#include <cstdint>

namespace Tellan {
namespace Platform {

// LockFileEx flags.
enum : std::uint32_t {
    LOCKFILE_FAIL_IMMEDIATELY = 0x00000001,
    LOCKFILE_EXCLUSIVE_LOCK = 0x00000002,
};

class FileLock {
public:
    virtual ~FileLock() = default;

    // Takes a shared lock, or an exclusive one with LOCKFILE_EXCLUSIVE_LOCK,
    // over the whole file open on `descriptor`. Waits for a conflicting lock
    // to go unless LOCKFILE_FAIL_IMMEDIATELY is given: then false with
    // ERROR_LOCK_VIOLATION_CODE. Taking a lock replaces the lock the same open
    // file held. Other failures: false, ERROR_INVALID_HANDLE_CODE for a
    // descriptor that is not open, ERROR_ACCESS_DENIED_CODE otherwise.
    virtual bool lockFileEx(int descriptor, std::uint32_t flags) = 0;

    // Releases the lock of the open file; true also when it held none.
    virtual bool unlockFileEx(int descriptor) = 0;

    static FileLock& native();
};

} // namespace Platform
} // namespace Tellan
