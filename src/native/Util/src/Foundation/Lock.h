#pragma once

#include "Platform/Platform.h"
#include "Platform/Threads.h"

#include <boost/noncopyable.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <atomic>
#include <cstdint>

namespace Foundation {
namespace details {

class ILock : boost::noncopyable {
public:
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual bool tryLock() = 0;
    virtual bool isLockedByCurrentThread() = 0;
    virtual bool isNotLockedByCurrentThread() = 0;

protected:
    ~ILock() = default;
};

// A mutex that also knows which thread holds it and how deep. owner and
// count may be read by any thread; they give the exact answer only for the
// calling thread, because owner is set after the mutex is taken and cleared
// before it is released.
template <class Mutex>
class BaseLock : public ILock {
public:
    BaseLock() : owner_(0), count_(0) {}

    void lock() override
    {
        mutex_.lock();
        owner_.exchange(currentThread());
        ++count_;
    }

    void unlock() override
    {
        if (--count_ == 0)
            owner_.exchange(0);
        mutex_.unlock();
    }

    bool tryLock() override
    {
        if (!mutex_.try_lock())
            return false;
        owner_.exchange(currentThread());
        ++count_;
        return true;
    }

    bool isLockedByCurrentThread() override { return owner_.load() == currentThread(); }
    bool isNotLockedByCurrentThread() override { return owner_.load() != currentThread(); }

    std::uint32_t owner() const { return owner_.load(); }
    std::int32_t count() const { return count_.load(); }

private:
    static std::uint32_t currentThread()
    {
        return Tellan::Platform::Installed<Tellan::Platform::Threads>::get().currentThreadId();
    }

    Mutex mutex_;
    std::atomic<std::uint32_t> owner_;
    std::atomic<std::int32_t> count_;
};

// Holds a lock for its scope, on every way out of it.
class LockGuard : boost::noncopyable {
public:
    explicit LockGuard(ILock& lock) : lock_(lock) { lock_.lock(); }
    ~LockGuard() { lock_.unlock(); }

private:
    ILock& lock_;
};

} // namespace details
} // namespace Foundation
