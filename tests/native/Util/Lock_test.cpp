#include "Foundation/Lock.h"
#include "Platform/Threads.h"

#include <gtest/gtest.h>

#include <boost/thread/recursive_mutex.hpp>

#include <stdexcept>
#include <thread>

using Lock = Foundation::details::BaseLock<boost::recursive_mutex>;

namespace {
std::uint32_t me() { return Tellan::Platform::Threads::native().currentThreadId(); }

template <class F>
auto onOtherThread(F f)
{
    decltype(f()) result{};
    std::thread([&] { result = f(); }).join();
    return result;
}
} // namespace

TEST(Lock, NestedAcquisitionCountsAndReleasesAtTheLastUnlock)
{
    Lock lock;
    lock.lock();
    lock.lock();
    lock.lock();
    EXPECT_EQ(lock.count(), 3);
    EXPECT_EQ(lock.owner(), me());
    lock.unlock();
    lock.unlock();
    EXPECT_EQ(lock.owner(), me());
    EXPECT_FALSE(onOtherThread([&] { return lock.tryLock(); }));
    lock.unlock();
    EXPECT_EQ(lock.owner(), 0u);
    EXPECT_EQ(lock.count(), 0);
    EXPECT_TRUE(onOtherThread([&] {
        const bool got = lock.tryLock();
        if (got)
            lock.unlock();
        return got;
    }));
}

TEST(Lock, TryLockSucceedsForTheOwnerAndFailsAtOnceForOthers)
{
    Lock lock;
    lock.lock();
    EXPECT_TRUE(lock.tryLock());
    EXPECT_EQ(lock.count(), 2);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(onOtherThread([&] { return lock.tryLock(); }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(lock.count(), 2);
    EXPECT_EQ(lock.owner(), me());
    EXPECT_TRUE(lock.isLockedByCurrentThread());
    EXPECT_TRUE(onOtherThread([&] { return lock.isNotLockedByCurrentThread(); }));
    lock.unlock();
    lock.unlock();
}

TEST(Lock, FreshLockIsNotOwnedByAnyThread)
{
    Lock lock;
    EXPECT_FALSE(lock.isLockedByCurrentThread());
    EXPECT_TRUE(lock.isNotLockedByCurrentThread());
    EXPECT_FALSE(onOtherThread([&] { return lock.isLockedByCurrentThread(); }));
    EXPECT_TRUE(onOtherThread([&] { return lock.isNotLockedByCurrentThread(); }));
}

TEST(Lock, GuardReleasesWhenAnExceptionLeavesTheBlock)
{
    Lock lock;
    lock.lock();
    try {
        Foundation::details::LockGuard guard(lock);
        EXPECT_EQ(lock.count(), 2);
        throw std::runtime_error("x");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(lock.count(), 1);
    EXPECT_EQ(lock.owner(), me());
    lock.unlock();
    try {
        Foundation::details::LockGuard guard(lock);
        throw std::runtime_error("x");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(lock.count(), 0);
    EXPECT_EQ(lock.owner(), 0u);
}

TEST(Lock, GuardsSerialiseThreads)
{
    Lock lock;
    int shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                Foundation::details::LockGuard guard(lock);
                EXPECT_TRUE(lock.isLockedByCurrentThread());
                ++shared;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(shared, 40000);
    EXPECT_EQ(lock.count(), 0);
}
