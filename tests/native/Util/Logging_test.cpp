#include "Logging/Logging.h"
#include "Logger/Logger.h"
#include "Logging/Log.h"
#include "Printers.h"
#include "RecordingSink.h"
#include "ScriptedPlatform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using Tellan::Logging;

// Most tests use a dispatcher of their own, so that "no sink yet" is real in
// whatever order and process the tests run.
namespace {

void logTo(Logging& dispatcher, const std::string& text, int level = Tellan::Level::INFO)
{
    Tellan::LogRecord record(0);
    record.setLevel(level).setComponent("c").setMessage(QString::fromLatin1(text.c_str()));
    dispatcher.log(record);
}

bool endsWith(const std::string& line, const std::string& tail)
{
    return line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

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

// A flag that one thread sets and another waits for.
class Event {
public:
    void set()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
        changed_.notify_all();
    }
    bool isSet()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return set_;
    }
    bool waitFor(std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

} // namespace

TEST(Logging, PendingLinesReachTheSinkThroughAttachBeforeLaterWrites)
{
    Logging dispatcher;
    logTo(dispatcher, "first");
    logTo(dispatcher, "second");
    logTo(dispatcher, "dropped", Tellan::Level::DEBUG);
    auto* sink = new TestSupport::RecordingSink();
    dispatcher.setLogger(sink);
    EXPECT_EQ(sink->attachedCount(), 2);
    logTo(dispatcher, "third");
    const auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(endsWith(lines[0], " : first\n")) << lines[0];
    EXPECT_TRUE(endsWith(lines[1], " : second\n")) << lines[1];
    EXPECT_TRUE(endsWith(lines[2], " : third\n")) << lines[2];
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
    EXPECT_EQ(sink.lines().size(), 1u);
}

TEST(Logging, ADroppedStatementEvaluatesNothingOfItsRecord)
{
    auto& sink = TestSupport::installRecordingSink();
    int evaluated = 0;
    auto count = [&evaluated] { return ++evaluated; };
    TLOG_EVENT(DEBUG, "c", "e", {"n", count()}) << count();
    TLOG(TRACE, "c") << count();
    EXPECT_EQ(evaluated, 0);
    TLOG_EVENT(INFO, "c", "e", {"n", count()}) << count();
    EXPECT_EQ(evaluated, 2);
    ASSERT_EQ(sink.lines().size(), 1u);
    EXPECT_NE(sink.lines()[0].find(" : I c : e : function = "), std::string::npos) << sink.lines()[0];
    EXPECT_NE(sink.lines()[0].find(" , n = 1 : "), std::string::npos) << sink.lines()[0];
    EXPECT_TRUE(endsWith(sink.lines()[0], "Comment In Log:     2\n")) << sink.lines()[0];
}

TEST(Logging, DisableAndCloseWithoutSinkDoNothingAndLinesStillFlowAfterClose)
{
    Logging dispatcher;
    dispatcher.disableLogger();
    dispatcher.closeLogger();
    auto* sink = new TestSupport::RecordingSink();
    dispatcher.setLogger(sink);
    dispatcher.disableLogger();
    EXPECT_FALSE(sink->enabled);
    dispatcher.closeLogger();
    EXPECT_EQ(sink->closeCount(), 1);
    logTo(dispatcher, "after close");
    ASSERT_EQ(sink->lines().size(), 1u);
    EXPECT_TRUE(endsWith(sink->lines()[0], " : after close\n"));
}

namespace {
// A sink that notes when it is attached and deleted.
class ProbeSink : public TestSupport::RecordingSink {
public:
    ProbeSink(std::vector<std::string>* journal, const char* name) : journal_(journal), name_(name) {}
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

TEST(Logging, SecondSinkReplacesTheFirstAndFindsNothingUnread)
{
    std::vector<std::string> journal;
    Logging dispatcher;
    logTo(dispatcher, "early");
    auto* first = new ProbeSink(&journal, "first");
    dispatcher.setLogger(first);
    EXPECT_EQ(first->attachedCount(), 1);
    auto* second = new ProbeSink(&journal, "second");
    dispatcher.setLogger(second);
    EXPECT_EQ(journal, (std::vector<std::string>{"attach first", "delete first", "attach second"}));
    EXPECT_EQ(second->attachedCount(), 0);
    logTo(dispatcher, "late");
    EXPECT_EQ(second->lines().size(), 1u);
}

namespace {
// Holds the hand-over in attach until every logging thread has a line in
// flight, so that lines both precede and follow the hand-over whatever the
// machine's load.
class GateSink : public TestSupport::RecordingSink {
public:
    explicit GateSink(std::function<bool()> open) : open_(std::move(open)) {}

protected:
    void attachLocked(std::stringstream& pending) override
    {
        while (!open_())
            std::this_thread::yield();
        RecordingSink::attachLocked(pending);
    }

private:
    std::function<bool()> open_;
};
} // namespace

TEST(Logging, HandOverLosesNoLineLoggedOnOtherThreads)
{
    constexpr int threads = 4;
    constexpr int beforeHandOver = 50;
    constexpr int afterHandOver = 50;
    Logging dispatcher;
    std::atomic<int> begun[threads] = {};
    std::atomic<int> done[threads] = {};
    std::atomic<bool> handedOver{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; ++t) {
        loggers.emplace_back([&, t] {
            // Logs until it has logged afterHandOver lines since it saw the
            // hand-over end.
            int last = -1;
            for (int i = 0; last < 0 || i <= last; ++i) {
                begun[t] = i + 1;
                logTo(dispatcher, "t" + std::to_string(t) + "-" + std::to_string(i));
                done[t] = i + 1;
                if (last < 0 && handedOver.load())
                    last = i + afterHandOver;
            }
        });
    }
    auto allPast = [&](int n) {
        for (int t = 0; t < threads; ++t)
            if (done[t].load() < n)
                return false;
        return true;
    };
    while (!allPast(beforeHandOver))
        std::this_thread::yield();
    auto* sink = new GateSink([&] {
        for (int t = 0; t < threads; ++t)
            if (begun[t].load() == done[t].load())
                return false;
        return true;
    });
    dispatcher.setLogger(sink);
    handedOver = true;
    for (auto& l : loggers)
        l.join();

    int total = 0;
    for (int t = 0; t < threads; ++t)
        total += done[t].load();
    const auto lines = sink->lines();
    EXPECT_EQ(lines.size(), std::size_t(total));
    EXPECT_GE(sink->attachedCount(), threads * beforeHandOver);
    EXPECT_GE(int(lines.size()) - sink->attachedCount(), threads) << "no line came after the hand-over";
    // Per thread, every line once, in order across the hand-over.
    std::vector<int> next(threads, 0);
    for (const auto& line : lines) {
        const std::size_t at = line.rfind(" : t");
        ASSERT_NE(at, std::string::npos) << line;
        const int t = std::stoi(line.substr(at + 4));
        const int i = std::stoi(line.substr(line.find('-', at) + 1));
        EXPECT_EQ(i, next[t]) << line;
        next[t] = i + 1;
    }
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(next[t], done[t].load());
}

namespace {
// A sink whose attach logs, as a log file header does: the line comes back
// into write() on the same thread instead of blocking the hand-over.
class HeaderSink : public TestSupport::RecordingSink {
public:
    explicit HeaderSink(Logging& dispatcher) : dispatcher_(dispatcher) {}

protected:
    void attachLocked(std::stringstream& pending) override
    {
        RecordingSink::attachLocked(pending);
        logTo(dispatcher_, "from attach");
    }

private:
    Logging& dispatcher_;
};
} // namespace

TEST(Logging, AHoldingThreadsRecordsGoOutInOrderWhenItEndsAndNoOneElsesWait)
{
    Logging dispatcher;
    auto* sink = new TestSupport::RecordingSink();
    dispatcher.setLogger(sink);
    {
        Logging::Holding held(dispatcher);
        logTo(dispatcher, "first");
        {
            Logging::Holding inner(dispatcher);
            logTo(dispatcher, "second");
        }
        // The inner records join the outer ones.
        logTo(dispatcher, "third");
        logTo(dispatcher, "below the level", Tellan::Level::DEBUG);
        std::thread other([&] { logTo(dispatcher, "other thread"); });
        other.join();
        const auto lines = sink->lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(endsWith(lines[0], " : other thread\n"));
    }
    const auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(endsWith(lines[1], " : first\n"));
    EXPECT_TRUE(endsWith(lines[2], " : second\n"));
    EXPECT_TRUE(endsWith(lines[3], " : third\n"));
}

TEST(Logging, LinesLoggedInsideAttachGoToTheNewSink)
{
    Logging dispatcher;
    logTo(dispatcher, "pending");
    auto* sink = new HeaderSink(dispatcher);
    dispatcher.setLogger(sink);
    const auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(endsWith(lines[0], " : pending\n"));
    EXPECT_TRUE(endsWith(lines[1], " : from attach\n"));
}

namespace {
// The old sink of a replacement: its write of "trigger" stays inside until
// the replacement has begun, then logs again, as a log file does when a line
// starts a rotation whose new header logs. It hands its lines out when it is
// deleted, and tells whether the replacement finished while it was inside.
class ReenteringSink : public TestSupport::RecordingSink {
public:
    ReenteringSink(Logging& dispatcher, Event& inside, Event& installing, Event& installed,
                   std::vector<std::string>& linesAtDelete, bool& replacedWhileInside)
        : dispatcher_(dispatcher), inside_(inside), installing_(installing), installed_(installed),
          linesAtDelete_(linesAtDelete), replacedWhileInside_(replacedWhileInside)
    {
    }
    ~ReenteringSink() override { linesAtDelete_ = lines(); }

protected:
    void writeLocked(const std::string& line) override
    {
        RecordingSink::writeLocked(line);
        if (!endsWith(line, " : trigger\n"))
            return;
        inside_.set();
        installing_.waitFor(std::chrono::seconds(60));
        // The replacement must wait for this write: give it time to get past
        // that point if it would.
        replacedWhileInside_ = installed_.waitFor(std::chrono::milliseconds(100));
        logTo(dispatcher_, "nested");
    }

private:
    Logging& dispatcher_;
    Event& inside_;
    Event& installing_;
    Event& installed_;
    std::vector<std::string>& linesAtDelete_;
    bool& replacedWhileInside_;
};
} // namespace

TEST(Logging, ALineLoggedInsideAWriteDuringAReplacementGoesToThatSink)
{
    Logging dispatcher;
    Event inside, installing, installed;
    std::vector<std::string> oldLines;
    bool replacedWhileInside = false;
    auto* old = new ReenteringSink(dispatcher, inside, installing, installed, oldLines, replacedWhileInside);
    dispatcher.setLogger(old);

    std::thread writer([&] { logTo(dispatcher, "trigger"); });
    ASSERT_TRUE(inside.waitFor(std::chrono::seconds(60)));
    auto* replacement = new TestSupport::RecordingSink();
    std::thread installer([&] {
        installing.set();
        dispatcher.setLogger(replacement);
        installed.set();
    });
    if (!installed.waitFor(std::chrono::seconds(30))) {
        std::fprintf(stderr, "setLogger hangs while a thread inside the old sink's write logs again\n");
        std::abort();
    }
    installer.join();
    writer.join();

    // Written by the writer thread before it was joined.
    EXPECT_FALSE(replacedWhileInside);
    ASSERT_EQ(oldLines.size(), 2u);
    EXPECT_TRUE(endsWith(oldLines[0], " : trigger\n")) << oldLines[0];
    EXPECT_TRUE(endsWith(oldLines[1], " : nested\n")) << oldLines[1];
    EXPECT_TRUE(replacement->lines().empty());
    logTo(dispatcher, "after");
    EXPECT_EQ(replacement->lines().size(), 1u);
}

namespace {
// Every sink of the replacement test: each notes its lines in one shared
// archive when deleted, and whether a write reached it after its deletion.
struct Archive {
    std::mutex mutex;
    std::vector<std::vector<std::string>> sinks;
    std::atomic<int> writesAfterDelete{0};
};

class ArchivedSink : public TestSupport::RecordingSink {
public:
    explicit ArchivedSink(Archive& archive) : archive_(archive) {}
    ~ArchivedSink() override
    {
        deleted_ = true;
        std::lock_guard<std::mutex> lock(archive_.mutex);
        archive_.sinks.push_back(lines());
    }

protected:
    void writeLocked(const std::string& line) override
    {
        if (deleted_)
            ++archive_.writesAfterDelete;
        std::this_thread::yield();
        RecordingSink::writeLocked(line);
    }

private:
    Archive& archive_;
    std::atomic<bool> deleted_{false};
};
} // namespace

TEST(Logging, ReplacingTheSinkUnderLoadDeletesItAfterItsWritesAndLosesNothing)
{
    constexpr int threads = 3;
    constexpr int replacements = 50;
    Archive archive;
    std::atomic<int> logged[threads] = {};
    {
        Logging dispatcher;
        dispatcher.setLogger(new ArchivedSink(archive));
        std::atomic<bool> stop{false};
        std::vector<std::thread> loggers;
        for (int t = 0; t < threads; ++t)
            loggers.emplace_back([&, t] {
                for (int i = 0; !stop.load(); ++i) {
                    logTo(dispatcher, "t" + std::to_string(t) + "-" + std::to_string(i));
                    logged[t] = i + 1;
                }
            });
        for (int i = 0; i < replacements; ++i) {
            // Replace while every thread has logged since the last one.
            int seen[threads];
            for (int t = 0; t < threads; ++t)
                seen[t] = logged[t].load();
            for (int t = 0; t < threads; ++t)
                while (logged[t].load() == seen[t])
                    std::this_thread::yield();
            dispatcher.setLogger(new ArchivedSink(archive));
        }
        stop = true;
        for (auto& l : loggers)
            l.join();
    } // the last sink is deleted with its dispatcher

    EXPECT_EQ(archive.writesAfterDelete.load(), 0);
    ASSERT_EQ(archive.sinks.size(), std::size_t(replacements + 1));
    // Sinks are deleted in the order installed: each thread's lines run on
    // from one sink to the next, none lost, none twice.
    std::vector<int> next(threads, 0);
    for (const auto& lines : archive.sinks)
        for (const auto& line : lines) {
            const std::size_t at = line.rfind(" : t");
            ASSERT_NE(at, std::string::npos) << line;
            const int t = std::stoi(line.substr(at + 4));
            const int i = std::stoi(line.substr(line.find('-', at) + 1));
            ASSERT_EQ(i, next[t]) << line;
            next[t] = i + 1;
        }
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(next[t], logged[t].load());
}

TEST(Logging, APendingRecordWithContinuationLinesReachesTheSinkAsOneLine)
{
    Logging dispatcher;
    logTo(dispatcher, "one\ntwo");
    auto* sink = new TestSupport::RecordingSink();
    dispatcher.setLogger(sink);
    const auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(endsWith(lines[0], " : one\n     two\n")) << lines[0];
}
