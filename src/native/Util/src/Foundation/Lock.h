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

    // Only the holder writes owner and count, with the mutex held: plain
    // stores do, and they cost a log line less than atomic exchanges.
    void lock() override
    {
        mutex_.lock();
        entered();
    }

    void unlock() override
    {
        const std::int32_t depth = count_.load(std::memory_order_relaxed) - 1;
        count_.store(depth, std::memory_order_relaxed);
        if (depth == 0)
            owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }

    bool tryLock() override
    {
        if (!mutex_.try_lock())
            return false;
        entered();
        return true;
    }

    bool isLockedByCurrentThread() override { return owner_.load() == currentThread(); }
    bool isNotLockedByCurrentThread() override { return owner_.load() != currentThread(); }

    std::uint32_t owner() const { return owner_.load(); }
    std::int32_t count() const { return count_.load(); }

private:
    void entered()
    {
        owner_.store(currentThread(), std::memory_order_relaxed);
        count_.store(count_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

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
