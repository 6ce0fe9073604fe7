#include "Logger/LoggerBase.h"
#include "Foundation/Lock.h"

#include <boost/thread/recursive_mutex.hpp>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using FileLock = Foundation::details::BaseLock<boost::recursive_mutex>;

// Notes, in each hook, how deep the calling thread holds the sink's lock.
class DepthSink : public Tellan::LoggerBase<FileLock> {
public:
    using LoggerBase::lock;
    std::vector<std::string> calls;
    bool throwOnWrite = false;
    int depth() { return lock().isLockedByCurrentThread() ? lock().count() : 0; }

protected:
    void attachLocked(std::stringstream&) override { note("attach"); }
    void closeLocked() override { note("close"); }
    void writeLocked(const std::string& line) override
    {
        note("write " + line);
        if (throwOnWrite)
            throw std::runtime_error("disk full");
        // A rotation at the limit writes again on the same thread.
        if (line == "rotate")
            rotate();
    }
    void rotateLocked() override
    {
        note("rotate");
        write("header");
    }

private:
    void note(const std::string& call) { calls.push_back(call + " @" + std::to_string(depth())); }
};

bool freeForOtherThreads(DepthSink& sink)
{
    bool taken = false;
    std::thread other([&] {
        taken = sink.lock().tryLock();
        if (taken)
            sink.lock().unlock();
    });
    other.join();
    return taken;
}

} // namespace

TEST(LoggerBase, EveryOperationRunsItsHookUnderTheLockAndReleasesIt)
{
    DepthSink sink;
    std::stringstream pending;
    sink.attach(pending);
    sink.write("a");
    sink.close();
    sink.write("rotate");
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"attach @1", "write a @1", "close @1", "write rotate @1",
                                                    "rotate @2", "write header @3"}));
    EXPECT_TRUE(freeForOtherThreads(sink));
}

TEST(LoggerBase, AHookThatThrowsLeavesTheLockFree)
{
    DepthSink sink;
    sink.throwOnWrite = true;
    EXPECT_THROW(sink.write("x"), std::runtime_error);
    EXPECT_TRUE(freeForOtherThreads(sink));
}
