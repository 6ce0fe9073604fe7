#include "SingleApplication/QtLockedFile.h"

#include "Platform/FileLock.h"

namespace QtLP_Private {

using namespace Tellan::Platform;

QtLockedFile::QtLockedFile() : lockMode_(NoLock) {}

QtLockedFile::QtLockedFile(const QString& name) : QFile(name), lockMode_(NoLock) {}

QtLockedFile::~QtLockedFile()
{
    if (isOpen())
        unlock();
}

bool QtLockedFile::open(OpenMode mode)
{
    if (mode & QIODevice::Truncate) {
        qWarning("QtLockedFile::open(): Truncate mode not allowed.");
        return false;
    }
    return QFile::open(mode);
}

bool QtLockedFile::lock(LockMode mode, bool block)
{
    if (mode == NoLock)
        return unlock();
    if (!isOpen())
        return false;
    if (mode == lockMode_)
        return true;
    std::uint32_t flags = mode == WriteLock ? std::uint32_t(LOCKFILE_EXCLUSIVE_LOCK) : 0u;
    if (!block)
        flags |= LOCKFILE_FAIL_IMMEDIATELY;
    if (!Installed<FileLock>::get().lockFileEx(handle(), flags))
        return false;
    lockMode_ = mode;
    return true;
}

bool QtLockedFile::unlock()
{
    if (!isOpen())
        return false;
    if (lockMode_ == NoLock)
        return true;
    if (!Installed<FileLock>::get().unlockFileEx(handle()))
        return false;
    lockMode_ = NoLock;
    return true;
}

bool QtLockedFile::isLocked() const { return lockMode_ != NoLock; }

QtLockedFile::LockMode QtLockedFile::lockMode() const { return lockMode_; }

} // namespace QtLP_Private
