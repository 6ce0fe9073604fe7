#pragma once

#include <QFile>

namespace QtLP_Private {

// A file that carries a cross-process lock. The lock belongs to this object's
// open file, so another QtLockedFile on the same file, in this process or any
// other, cannot take a conflicting one; closing some other handle of the file
// does not drop it. The destructor releases a held lock.
class QtLockedFile : public QFile {
public:
    enum LockMode { NoLock = 0, ReadLock, WriteLock };

    QtLockedFile();
    explicit QtLockedFile(const QString& name);
    ~QtLockedFile() override;

    // QFile::open, without Truncate: truncating a file that another process
    // holds locked would change its content under that process.
    bool open(OpenMode mode) override;

    // Takes the lock (a shared ReadLock or an exclusive WriteLock); with block
    // false, fails at once when another open file holds a conflicting one.
    // A lock of the other mode held by this object is replaced.
    bool lock(LockMode mode, bool block = true);
    bool unlock();
    bool isLocked() const;
    LockMode lockMode() const;

private:
    LockMode lockMode_;
};

} // namespace QtLP_Private
