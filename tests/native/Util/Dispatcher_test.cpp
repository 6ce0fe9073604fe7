#include "Event/Dispatcher.h"
#include "Platform/Threads.h"

#include "OwnProcess.h"

#include <boost/asio/io_service.hpp>
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using Tellan::Event::Dispatcher;
using namespace Tellan::Event;

namespace {

// The names that ps -L and gdb show for this process's threads.
std::vector<std::string> threadNames()
{
    std::vector<std::string> names;
    for (const QString& tid : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm("/proc/self/task/" + tid + "/comm");
        if (comm.open(QIODevice::ReadOnly))
            names.push_back(comm.readAll().trimmed().toStdString());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Waits for the tasks posted so far to one pool to finish.
void drain(ThreadId id)
{
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Dispatcher::post(id, [&] {
        std::lock_guard<std::mutex> lock(m);
        done = true;
        cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
}

} // namespace

// In a process of its own, so that the first call is really the first.
TEST(Dispatcher, FirstUseStartsThreeNamedThreadsAndLaterUsesNone)
{
    if (!TestSupport::inOwnProcess())
        return TestSupport::runInOwnProcess();
    EXPECT_EQ(Dispatcher::threadName(DEFAULT_THREAD), "DEFAULT_THREAD");
    Dispatcher::setNativeThreadName(Tellan::Platform::Threads::native().currentThreadId(), "main-test");
    const auto before = threadNames();
    EXPECT_FALSE(Dispatcher::isCurrentThread(DEFAULT_THREAD));
    const auto after = threadNames();
    ASSERT_EQ(after.size(), before.size() + 3);
    for (const char* name : {"DEFAULT_THREAD", "FILE_THREAD_0", "FILE_THREAD_1"})
        EXPECT_EQ(std::count(after.begin(), after.end(), name), 1) << name;

    Dispatcher::post(DEFAULT_THREAD, [] {});
    Dispatcher::instance().addPool(DEFAULT_THREAD, 1, boost::make_shared<boost::asio::io_service>());
    drain(DEFAULT_THREAD);
    EXPECT_EQ(threadNames().size(), after.size());
}

TEST(Dispatcher, ThreadNameTable)
{
    const std::pair<ThreadId, const char*> cases[] = {
        {100, ""},
        {101, "DEFAULT_THREAD"},
        {102, "IPC_THREAD"},
        {103, "FILE_THREAD"},
        {109, "UPLOAD_THREAD"},
        {113, "WATCHDOG_THREAD"},
        {114, "DOWNLOAD_THREAD"},
        {115, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Dispatcher::threadName(c.first), c.second) << c.first;
}

TEST(Dispatcher, PostToAPoolThatDoesNotExistIsDropped)
{
    std::atomic<bool> ran{false};
    Dispatcher::post(IPC_THREAD, [&] { ran = true; });
    Dispatcher::post(999, [&] { ran = true; });
    Dispatcher::postDelayed(
        999, [&] { ran = true; }, boost::posix_time::milliseconds(1));
    drain(DEFAULT_THREAD);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(ran.load());
    EXPECT_FALSE(Dispatcher::isCurrentThread(IPC_THREAD));
    EXPECT_THROW(Dispatcher::assertThread(IPC_THREAD, "never"), Dispatcher::InvalidThreadException);
}

TEST(Dispatcher, AssertThreadPassesOnItsPoolAndThrowsTheMessageElsewhere)
{
    std::atomic<bool> passed{false};
    Dispatcher::post(DEFAULT_THREAD, [&] {
        Dispatcher::assertThread(DEFAULT_THREAD, "off");
        passed = !Dispatcher::isCurrentThread(FILE_THREAD);
    });
    drain(DEFAULT_THREAD);
    EXPECT_TRUE(passed.load());
    try {
        Dispatcher::assertThread(DEFAULT_THREAD, "Modifications to upload queue must occur on the File Upload thread.");
        FAIL() << "no exception";
    } catch (const Dispatcher::InvalidThreadException& e) {
        EXPECT_STREQ(e.what(), "Modifications to upload queue must occur on the File Upload thread.");
    }
    std::atomic<int> onFilePool{0};
    for (int i = 0; i < 8; ++i)
        Dispatcher::post(FILE_THREAD, [&] { onFilePool += Dispatcher::isCurrentThread(FILE_THREAD); });
    drain(FILE_THREAD);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(onFilePool.load(), 8);
}

TEST(Dispatcher, OneThreadPoolRunsTasksInOrderOneAtATimeWithDelayedTasksBetween)
{
    std::mutex m;
    std::vector<std::string> order;
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    auto task = [&](std::string name, int sleepMs) {
        return [&, name, sleepMs] {
            if (++running > 1)
                ++overlaps;
            std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
            {
                std::lock_guard<std::mutex> lock(m);
                order.push_back(name);
            }
            --running;
        };
    };
    Dispatcher::postDelayed(DEFAULT_THREAD, task("delayed", 0), boost::posix_time::milliseconds(30));
    for (int i = 0; i < 3; ++i)
        Dispatcher::post(DEFAULT_THREAD, task("t" + std::to_string(i), 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    for (int i = 3; i < 10; ++i)
        Dispatcher::post(DEFAULT_THREAD, task("t" + std::to_string(i), 10));
    drain(DEFAULT_THREAD);
    EXPECT_EQ(overlaps.load(), 0);
    std::vector<std::string> posted;
    for (const auto& name : order)
        if (name != "delayed")
            posted.push_back(name);
    ASSERT_EQ(posted.size(), 10u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(posted[i], "t" + std::to_string(i));
    const auto delayed = std::find(order.begin(), order.end(), "delayed");
    ASSERT_NE(delayed, order.end());
    // Due while t0..t2 ran; it waited for the running task, then ran before t3.
    EXPECT_EQ(delayed - order.begin(), 3);
}

TEST(Dispatcher, PoolWithoutThreadsQueuesForever)
{
    Dispatcher::instance().addPool(PLAYER_THREAD, 0, boost::make_shared<boost::asio::io_service>());
    std::atomic<bool> ran{false};
    Dispatcher::post(PLAYER_THREAD, [&] { ran = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(ran.load());
    EXPECT_FALSE(Dispatcher::isCurrentThread(PLAYER_THREAD));
}
