#include "Logger/Logger.h"
#include "Logging/Log.h"
#include "Logging/Logging.h"
#include "RecordingSink.h"
#include "ScriptedPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

using Tellan::Logging;

namespace {

// Counts user-name queries: every formatted line asks once.
class CountingAccount : public TestSupport::ScriptedAccount {
public:
    bool getUserName(char16_t* buffer, std::uint32_t* size) override
    {
        ++calls;
        return ScriptedAccount::getUserName(buffer, size);
    }
    std::atomic<int> calls{0};
};

// A sink that tells what it saw of the dispatcher while being installed.
class ProbeSink : public TestSupport::RecordingSink {
public:
    explicit ProbeSink(std::vector<std::string>* journal, const char* name) : journal_(journal), name_(name) {}
    ~ProbeSink() override { journal_->push_back(std::string("delete ") + name_); }
protected:
    void attachLocked(std::stringstream& pending) override
    {
        journal_->push_back(std::string("attach ") + name_);
        RecordingSink::attachLocked(pending);
    }

private:
    std::vector<std::string>* journal_;
    const char* name_;
};

} // namespace

// Each test runs in its own process (ctest), so "no sink yet" is real here.
TEST(Logging, PendingLinesReachTheSinkThroughAttachBeforeLaterWrites)
{
    TLOG(INFO, "c") << "first";
    TLOG(INFO, "c") << "second";
    TLOG(DEBUG, "c") << "dropped";
    auto& sink = TestSupport::installRecordingSink();
    TLOG(INFO, "c") << "third";
    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" : first\n"), std::string::npos);
    EXPECT_NE(lines[1].find(" : second\n"), std::string::npos);
    EXPECT_NE(lines[2].find(" : third\n"), std::string::npos);
}

TEST(Logging, RecordsBelowInfoAreNeverFormatted)
{
    CountingAccount account;
    Tellan::Platform::ScopedInstall<Tellan::Platform::Account> install(&account);
    auto& sink = TestSupport::installRecordingSink();
    TLOG(DEBUG, "c") << "no";
    TLOG(TRACE, "c") << "no";
    EXPECT_EQ(account.calls.load(), 0);
    EXPECT_TRUE(sink.lines().empty());
    TLOG(INFO, "c") << "yes";
    EXPECT_EQ(account.calls.load(), 1);
}

TEST(Logging, DisableAndCloseWithoutSinkDoNothingAndLinesStillFlowAfterClose)
{
    Logging::instance().disableLogger();
    Logging::instance().closeLogger();
    auto& sink = TestSupport::installRecordingSink();
    Logging::instance().disableLogger();
    EXPECT_FALSE(sink.enabled);
    Logging::instance().closeLogger();
    EXPECT_EQ(sink.closeCount(), 1);
    TLOG(INFO, "c") << "after close";
    EXPECT_EQ(sink.lines().size(), 1u);
}

TEST(Logging, SecondSinkReplacesTheFirstAndFindsNothingUnread)
{
    // Outlives the test: the second sink is deleted by whichever install comes next.
    static std::vector<std::string> journal;
    TLOG(INFO, "c") << "early";
    auto* first = new ProbeSink(&journal, "first");
    Logging::instance().setLogger(first);
    EXPECT_EQ(first->lines().size(), 1u);
    auto* second = new ProbeSink(&journal, "second");
    Logging::instance().setLogger(second);
    EXPECT_EQ(journal, (std::vector<std::string>{"attach first", "delete first", "attach second"}));
    EXPECT_TRUE(second->lines().empty());
}

TEST(Logging, HandOverLosesNoLineLoggedOnOtherThreads)
{
    constexpr int threads = 4;
    constexpr int perThread = 2000;
    std::atomic<bool> go{false};
    std::atomic<int> logged{0};
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; ++t) {
        loggers.emplace_back([&, t] {
            while (!go.load()) {
            }
            for (int i = 0; i < perThread; ++i) {
                TLOG(INFO, "c") << "t" << t << "-" << i;
                ++logged;
            }
        });
    }
    go = true;
    // Install while the threads are in the middle of their lines.
    while (logged.load() < 200)
        std::this_thread::yield();
    auto& sink = TestSupport::installRecordingSink();
    for (auto& l : loggers)
        l.join();

    const auto lines = sink.lines();
    EXPECT_EQ(lines.size(), std::size_t(threads * perThread));
    EXPECT_GT(sink.attachedCount(), 0) << "no line went through the pending buffer";
    EXPECT_LT(sink.attachedCount(), threads * perThread) << "no line came after the hand-over";
    // Per thread, lines keep their order across the hand-over.
    std::vector<int> next(threads, 0);
    for (const auto& line : lines) {
        const std::size_t at = line.rfind(" : t");
        ASSERT_NE(at, std::string::npos) << line;
        const int t = std::stoi(line.substr(at + 4));
        const int i = std::stoi(line.substr(line.find('-', at) + 1));
        EXPECT_EQ(i, next[t]) << line;
        next[t] = i + 1;
    }
}

namespace {
// A sink whose attach logs, as a log file header does: the line comes back
// into write() on the same thread instead of blocking the hand-over.
class HeaderSink : public TestSupport::RecordingSink {
protected:
    void attachLocked(std::stringstream& pending) override
    {
        RecordingSink::attachLocked(pending);
        TLOG(INFO, "header") << "from attach";
    }
};
} // namespace

TEST(Logging, LinesLoggedInsideAttachGoToTheNewSink)
{
    TLOG(INFO, "c") << "pending";
    auto* sink = new HeaderSink();
    Logging::instance().setLogger(sink);
    const auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("from attach"), std::string::npos);
}

namespace {
// Slow writes widen the window in which a thread is inside the old sink.
class SlowSink : public TestSupport::RecordingSink {
protected:
    void writeLocked(const std::string& line) override
    {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        RecordingSink::writeLocked(line);
    }
};
} // namespace

TEST(Logging, ReplacingTheSinkWaitsForWritesUnderWayToTheOldOne)
{
    Logging::instance().setLogger(new SlowSink());
    std::atomic<bool> stop{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 3; ++t)
        loggers.emplace_back([&] {
            while (!stop.load())
                TLOG(INFO, "c") << "busy";
        });
    for (int i = 0; i < 50; ++i) {
        Logging::instance().setLogger(new SlowSink());
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    stop = true;
    for (auto& l : loggers)
        l.join();
}

TEST(Logging, APendingRecordWithContinuationLinesReachesTheSinkAsOneLine)
{
    TLOG(INFO, "c") << "one\ntwo";
    auto& sink = TestSupport::installRecordingSink();
    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" : one\n     two\n"), std::string::npos) << lines[0];
}
