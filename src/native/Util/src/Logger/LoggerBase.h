#pragma once

#include "Logger/Logger.h"

#include <mutex>
#include <sstream>
#include <string>

namespace Tellan {

// A sink whose public operations take its lock and then call the protected
// hook, so that no implementation can forget the lock. LockType needs lock()
// and unlock(): std::mutex for a sink that never re-enters itself, the
// recursive Foundation::details::BaseLock<boost::recursive_mutex> for one
// whose write() may come back into write() on the same thread (a rotation
// whose new file header logs).
//
// The hooks run with the lock held and may throw; the lock is released on
// the way out. The destructor takes no lock: the dispatcher deletes a sink
// only when no write to it is under way.
template <class LockType>
class LoggerBase : public Logger {
public:
    void attach(std::stringstream& pending) final
    {
        std::lock_guard<LockType> guard(lock_);
        attachLocked(pending);
    }

    void close() final
    {
        std::lock_guard<LockType> guard(lock_);
        closeLocked();
    }

    void write(const std::string& line) final
    {
        std::lock_guard<LockType> guard(lock_);
        writeLocked(line);
    }

    void rotate() final
    {
        std::lock_guard<LockType> guard(lock_);
        rotateLocked();
    }

protected:
    virtual void attachLocked(std::stringstream& pending) = 0;
    virtual void closeLocked() = 0;
    virtual void writeLocked(const std::string& line) = 0;
    virtual void rotateLocked() = 0;

    // For members of the sink that must lock for their own reasons (a
    // query of what the sink holds, say).
    LockType& lock() { return lock_; }
    LockType& lock() const { return lock_; }

private:
    mutable LockType lock_;
};

} // namespace Tellan
