// The upload queue on the real File Upload thread against the stand-in over
// loopback: order, duplicates, outcomes, retries, and heads that cannot start.

#include "QueueFixture.h"

#include "LongPath/FileInUse.h"
#include "LongPath/LongPath.h"
#include "Platform/FileShare.h"

#include <gmock/gmock.h>

#include <memory>
#include <mutex>
#include <set>

using namespace QueueTests;
using Tellan::OpsFileUploader;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
namespace pt = boost::posix_time;

namespace {

const pt::time_duration anHour = pt::hours(1);

std::vector<StandIn::Reply> statuses(std::initializer_list<int> codes)
{
    std::vector<StandIn::Reply> replies;
    for (int code : codes)
        replies.push_back({StandIn::Behaviour::Status, code});
    return replies;
}

MATCHER_P3(IsOutcome, path, error, httpCode, "")
{
    return arg.path == path && arg.success == (httpCode == 200) && arg.error == error && arg.httpCode == httpCode;
}

} // namespace

using UploadQueue = QueueTest;

TEST(UploadQueueRetryDelay, GrowsFourFoldFromOneMillisecondUpToOneHour)
{
    EXPECT_EQ(OpsFileUploader::Options().firstRetryDelay, pt::milliseconds(1));
    const std::vector<long> expectedMs = {1,     4,     16,     64,      256,     1024,    4096,
                                          16384, 65536, 262144, 1048576, 3600000, 3600000, 3600000};
    std::vector<long> delays;
    pt::time_duration delay = OpsFileUploader::Options().firstRetryDelay;
    for (std::size_t i = 0; i < expectedMs.size(); ++i) {
        delays.push_back(long(delay.total_milliseconds()));
        delay = OpsFileUploader::nextRetryDelay(delay);
    }
    EXPECT_EQ(delays, expectedMs);
}

TEST(UploadQueueRetryDelay, StopsAtTheCapWithoutOverflowing)
{
    const std::int64_t cap = OpsFileUploader::retryDelayCapMicroseconds;
    ASSERT_EQ(cap, std::int64_t(3600000000));
    const struct {
        std::int64_t current, next;
    } cases[] = {
        {1000, 4000},
        {cap / 4 - 1, (cap / 4 - 1) * 4},
        {cap / 4, cap},
        {cap / 4 + 1, cap},
        {cap - 1, cap},
        {cap, cap},
        {std::numeric_limits<std::int64_t>::max() / 2, cap},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OpsFileUploader::nextRetryDelay(pt::microseconds(c.current)).total_microseconds(), c.next)
            << c.current;
}

TEST_F(UploadQueue, StepsOffTheFileUploadThreadThrowTheAssertionMessage)
{
    const boost::shared_ptr<OpsFileUploader> uploader = makeUploader();
    const auto info = boost::make_shared<Tellan::OpsFileInfo>(put(logs(), "a.log", 1), 0);
    const std::vector<std::pair<const char*, std::function<void()>>> steps = {
        {"queueFileUpload", [&] { uploader->queueFileUpload(info); }},
        {"startNextUpload", [&] { uploader->startNextUpload(); }},
        {"startUpload", [&] { uploader->startUpload(info); }},
        {"uploadFinished", [&] { uploader->uploadFinished(0); }},
        {"finishCurrentUpload", [&] { uploader->finishCurrentUpload(true); }},
    };
    for (const auto& step : steps) {
        try {
            step.second();
            ADD_FAILURE() << step.first << " ran on the main thread";
        } catch (const Tellan::Event::Dispatcher::InvalidThreadException& e) {
            EXPECT_STREQ(e.what(), "Modifications to upload queue must occur on the File Upload thread.") << step.first;
        }
    }
    EXPECT_EQ(server->connectionCount(), 0u);
}

TEST_F(UploadQueue, OutcomesFollowTheStatusAndOnlyAnOrdinaryFailureRetriesTheHead)
{
    // 403 leaves, 500 stays at the head and goes again after the first
    // retry delay, 200 leaves; the files behind wait their turn.
    server->setReplies(statuses({403, 500, 200, 200}));
    const QString refused = put(logs(), "refused.log", 10);
    const QString retried = put(logs(), "retried.log", 20);
    const QString accepted = put(crashReports(), "accepted.dmp", 30);
    const auto uploader = makeUploader();
    OutcomeRecorder recorder(uploader.get());
    {
        UploadThreadGate gate;
        uploader->uploadLogFile(refused);
        uploader->uploadLogFile(retried);
        uploader->uploadCrashDump(accepted);
    }

    ASSERT_TRUE(recorder.waitFor(4));
    EXPECT_THAT(recorder.outcomes, ElementsAre(IsOutcome(refused, 0, 403), IsOutcome(retried, 0, 500),
                                               IsOutcome(retried, 0, 200), IsOutcome(accepted, 0, 200)));
    EXPECT_THAT(receivedNames(*server), ElementsAre("refused.log", "retried.log", "retried.log", "accepted.dmp"));
    ASSERT_TRUE(waitUntilIdle(uploader));
    // The queue deletes nothing.
    for (const QString& path : {refused, retried, accepted})
        EXPECT_TRUE(QFile::exists(path)) << path.toStdString();
    const auto complete = sink->linesContaining("Log upload complete.  Status = ");
    ASSERT_EQ(complete.size(), 4u);
    const char* statusTexts[] = {"Status = 403", "Status = 500", "Status = 200", "Status = 200"};
    for (std::size_t i = 0; i < complete.size(); ++i) {
        EXPECT_THAT(complete[i], HasSubstr("Helper INFO in OpsFileUploader line "));
        EXPECT_THAT(complete[i], HasSubstr("function Tellan::OpsFileUploader::uploadFinished : Log upload complete.  "
                                           + std::string(statusTexts[i]) + "\n"));
    }
    EXPECT_EQ(uploader->pendingRetries(), 0);
}

TEST_F(UploadQueue, FailedExchangeReportsMinusOneWithStatusZeroAndIsRetried)
{
    server->setReplies({{StandIn::Behaviour::DropWithoutClose, 0}}, {StandIn::Behaviour::Status, 200});
    const QString path = put(logs(), "dropped.log", 10);
    const auto uploader = makeUploader();
    OutcomeRecorder recorder(uploader.get());
    uploader->uploadLogFile(path);

    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_THAT(recorder.outcomes, ElementsAre(IsOutcome(path, -1, 0), IsOutcome(path, 0, 200)));
    EXPECT_EQ(sink->linesContaining("Log upload complete.  Status = 0\n").size(), 1u);
}

TEST_F(UploadQueue, PathAlreadyQueuedIsRefusedOnceAndAcceptedAgainAfterItLeft)
{
    const QString upper = put(logs(), "Case.log", 10);
    const QString lower = put(logs(), "case.log", 10);
    const auto uploader = makeUploader();
    OutcomeRecorder recorder(uploader.get());
    {
        UploadThreadGate gate;
        uploader->uploadLogFile(upper);
        uploader->uploadCrashDump(upper);
        uploader->uploadLogFile(lower);
    }
    ASSERT_TRUE(recorder.waitFor(2));
    ASSERT_TRUE(waitUntilIdle(uploader));
    QCoreApplication::processEvents();
    EXPECT_THAT(recorder.outcomes, ElementsAre(IsOutcome(upper, 0, 200), IsOutcome(lower, 0, 200)));
    const auto warnings = records("W", "OpsFileUploader", "DuplicateFileWarning");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr(" : fileName = " + upper.toStdString()
                                       + " , function = Tellan>OpsFileUploader>insertPendingFileUpload : line "));
    // The entry kept its place and its type: one request, for a log file.
    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_THAT(requests[0].bytes, HasSubstr("X-Content-Type: PavrelLogFormat-1.0\r\n"));

    // Once it has left the queue, and its deleter took the hold without
    // deleting it, the same path goes again.
    uploader->takeHold(upper);
    uploader->uploadLogFile(upper);
    ASSERT_TRUE(recorder.waitFor(3));
    EXPECT_THAT(recorder.outcomes.back(), IsOutcome(upper, 0, 200));
    EXPECT_EQ(records("W", "OpsFileUploader", "DuplicateFileWarning").size(), 1u);
}

TEST_F(UploadQueue, EmptyAndVanishedHeadsLeaveAtOnceAndTheNextStarts)
{
    const QString empty = put(logs(), "empty.log", 0);
    const QString gone = logs() + "/gone.log";
    const QString next = put(logs(), "next.log", 10);
    const auto uploader = makeUploader();
    OutcomeRecorder recorder(uploader.get());
    {
        UploadThreadGate gate;
        uploader->uploadLogFile(empty);
        uploader->uploadLogFile(gone);
        uploader->uploadLogFile(next);
    }
    ASSERT_TRUE(recorder.waitFor(3));
    EXPECT_THAT(recorder.outcomes, ElementsAre(IsOutcome(empty, 0, 0), IsOutcome(gone, 0, 0), IsOutcome(next, 0, 200)));
    EXPECT_THAT(receivedNames(*server), ElementsAre("next.log"));
    EXPECT_EQ(records("E", "OpsFileUpload", "logFileEmpty").size(), 1u);
    const auto notStarted = records("W", "OpsFileUploader", "UploadNotStarted");
    ASSERT_EQ(notStarted.size(), 1u);
    EXPECT_THAT(notStarted[0], HasSubstr("fileName = " + gone.toStdString()
                                         + " , function = "
                                           "Tellan>OpsFileUploader>startNextUpload , reason = missing : line "));
    // Could not start: no reply, so no "Log upload complete." line for them.
    EXPECT_EQ(sink->linesContaining("Log upload complete.").size(), 1u);
    EXPECT_TRUE(QFile::exists(empty));
}

TEST_F(UploadQueue, HeadThatVanishedWhileWaitingForItsRetryDoesNotBlockTheQueue)
{
    server->setReplies(statuses({500}), {StandIn::Behaviour::Status, 200});
    const QString head = put(logs(), "head.log", 10);
    const QString behind = put(logs(), "behind.log", 10);
    const auto uploader = makeUploader(anHour);
    OutcomeRecorder recorder(uploader.get());
    uploader->uploadLogFile(head);
    ASSERT_TRUE(recorder.waitFor(1));
    ASSERT_TRUE(QFile::remove(head));

    uploader->uploadLogFile(behind);
    ASSERT_TRUE(recorder.waitFor(3));
    EXPECT_THAT(recorder.outcomes,
                ElementsAre(IsOutcome(head, 0, 500), IsOutcome(head, 0, 0), IsOutcome(behind, 0, 200)));
    EXPECT_THAT(receivedNames(*server), ElementsAre("head.log", "behind.log"));
    ASSERT_TRUE(waitUntilIdle(uploader));
}

TEST_F(UploadQueue, NewPathsWhileTheHeadWaitsStartItAtOnceAndLeaveOneRetryPending)
{
    server->setReplies({}, {StandIn::Behaviour::Status, 500});
    const QString head = put(logs(), "head.log", 10);
    const auto uploader = makeUploader(anHour);
    OutcomeRecorder recorder(uploader.get());
    uploader->uploadLogFile(head);
    ASSERT_TRUE(recorder.waitFor(1));
    // Read on the File Upload thread: the outcome is told before the retry is posted.
    const auto pendingRetries = [&] { return onUploadThread<int>([&] { return uploader->pendingRetries(); }); };
    EXPECT_EQ(pendingRetries(), 1);

    const int newPaths = 25;
    for (int i = 0; i < newPaths; ++i) {
        uploader->uploadLogFile(put(logs(), QString("behind-%1.log").arg(i), 10));
        // Each new path starts the head at once, long before the retry is due.
        ASSERT_TRUE(recorder.waitFor(std::size_t(i) + 2, std::chrono::seconds(30))) << i;
    }
    EXPECT_EQ(pendingRetries(), 1);
    EXPECT_EQ(receivedNames(*server), std::vector<std::string>(newPaths + 1, "head.log"));
    for (const Outcome& outcome : recorder.outcomes)
        EXPECT_THAT(outcome, IsOutcome(head, 0, 500));
}

TEST_F(UploadQueue, RetryDelayGrowsWithEachRetryAndASuccessDoesNotResetIt)
{
    server->setReplies(statuses({500, 200, 500, 200}));
    const QString first = put(logs(), "first.log", 10);
    const QString second = put(logs(), "second.log", 10);
    const auto uploader = makeUploader();
    // The delay read on the File Upload thread just after each outcome's step,
    // before the retry it schedules can run.
    struct Delays {
        std::mutex mutex;
        std::vector<long> ms;
    };
    const auto delays = std::make_shared<Delays>();
    const boost::weak_ptr<OpsFileUploader> queue = uploader;
    const auto readDelay = [delays, queue] {
        Tellan::Event::Dispatcher::post(Tellan::Event::DEFAULT_THREAD, [delays, queue] {
            if (const auto self = queue.lock()) {
                std::lock_guard<std::mutex> lock(delays->mutex);
                delays->ms.push_back(long(self->currentRetryDelay().total_milliseconds()));
            }
        });
    };
    QObject::connect(uploader.get(), &OpsFileUploader::uploadSuccess, uploader.get(), readDelay, Qt::DirectConnection);
    QObject::connect(uploader.get(), &OpsFileUploader::uploadFailure, uploader.get(), readDelay, Qt::DirectConnection);
    OutcomeRecorder recorder(uploader.get());
    {
        UploadThreadGate gate;
        uploader->uploadLogFile(first);
        uploader->uploadLogFile(second);
    }
    ASSERT_TRUE(recorder.waitFor(4));
    ASSERT_TRUE(waitUntilIdle(uploader));
    EXPECT_THAT(recorder.outcomes, ElementsAre(IsOutcome(first, 0, 500), IsOutcome(first, 0, 200),
                                               IsOutcome(second, 0, 500), IsOutcome(second, 0, 200)));
    std::lock_guard<std::mutex> lock(delays->mutex);
    EXPECT_EQ(delays->ms, (std::vector<long>{4, 4, 16, 16}));
}

TEST_F(UploadQueue, FileOfferedAgainBeforeItsOutcomeReachedTheMainThreadIsNotSentAgain)
{
    server->setReplies(statuses({200, 403}));
    const QString accepted = put(logs(), "accepted.log", 10);
    const QString refused = put(logs(), "refused.log", 10);
    const auto uploader = makeUploader();
    OutcomeRecorder recorder(uploader.get());
    // The main thread's event loop does not run until the end: the outcomes
    // wait in its queue while a pass offers the same files again.
    uploader->uploadLogFile(accepted);
    uploader->uploadLogFile(refused);
    ASSERT_TRUE(waitUntilIdle(uploader));
    uploader->uploadLogFile(accepted);
    uploader->uploadLogFile(refused);
    ASSERT_TRUE(waitUntilIdle(uploader));

    EXPECT_THAT(receivedNames(*server), ElementsAre("accepted.log", "refused.log"));
    const auto dropped = records("I", "OpsFileUploader", "UploadNotStarted");
    ASSERT_EQ(dropped.size(), 2u);
    EXPECT_THAT(dropped[0], HasSubstr("fileName = " + accepted.toStdString()
                                      + " , function = "
                                        "Tellan>OpsFileUploader>startNextUpload , reason = awaitingDeletion : line "));
    EXPECT_THAT(dropped[1], HasSubstr("fileName = " + refused.toStdString()));
    EXPECT_TRUE(recorder.outcomes.empty());

    ASSERT_TRUE(recorder.waitFor(2));
    QCoreApplication::processEvents();
    EXPECT_THAT(recorder.outcomes, ElementsAre(IsOutcome(accepted, 0, 200), IsOutcome(refused, 0, 403)));
    // The deleter still finds the hold of the one upload and deletes under it.
    for (const QString& path : {accepted, refused}) {
        Tellan::FileInUse hold = uploader->takeHold(path);
        EXPECT_TRUE(hold.held()) << path.toStdString();
        EXPECT_TRUE(Tellan::LongPath::removeHeld(Tellan::LongPath::fromText(path), hold)) << path.toStdString();
    }
}

TEST_F(UploadQueue, RunOfHeadsThatCannotStartIsWalkedWithoutDeepeningTheStack)
{
    server->setReplies(statuses({403}), {StandIn::Behaviour::Status, 200});
    const QString first = put(logs(), "first.log", 10);
    const QString last = put(logs(), "last.log", 10);
    const auto uploader = makeUploader();
    // Where on the File Upload thread's stack each "could not start" is told.
    std::set<const void*> frames;
    int cannotStart = 0;
    QObject::connect(
        uploader.get(), &OpsFileUploader::uploadFailure, uploader.get(),
        [&](const QString&, int, int code) {
            if (code == 0) {
                ++cannotStart;
                frames.insert(__builtin_frame_address(0));
            }
        },
        Qt::DirectConnection);
    OutcomeRecorder recorder(uploader.get());
    const int run = 120;
    {
        UploadThreadGate gate;
        uploader->uploadLogFile(first);
        for (int i = 0; i < run; ++i) {
            const QString name = QString("stuck-%1.log").arg(i);
            uploader->uploadLogFile(i % 2 ? put(logs(), name, 0) : logs() + "/" + name);
        }
        uploader->uploadLogFile(last);
    }
    ASSERT_TRUE(recorder.waitFor(run + 2));
    EXPECT_THAT(recorder.outcomes.front(), IsOutcome(first, 0, 403));
    EXPECT_THAT(recorder.outcomes.back(), IsOutcome(last, 0, 200));
    ASSERT_TRUE(waitUntilIdle(uploader));
    EXPECT_EQ(cannotStart, run);
    // A vanished head is told from one depth, one that fails to start from
    // one more; a chain of calls would tell each from deeper than the last.
    EXPECT_LE(frames.size(), 2u);
}

TEST_F(UploadQueue, FileHeldByAnotherSenderIsNotStartedNorReportedAsFailed)
{
    const QString held = put(logs(), "held.log", 10);
    const QString free = put(logs(), "free.log", 10);
    // As another helper would hold it while sending it.
    Tellan::FileInUse otherSender(Tellan::LongPath::fromText(held));
    ASSERT_TRUE(otherSender.held());
    const auto uploader = makeUploader();
    OutcomeRecorder recorder(uploader.get());
    {
        UploadThreadGate gate;
        uploader->uploadLogFile(held);
        uploader->uploadLogFile(free);
    }
    // Not sending what another helper sends is no failure: that helper
    // reports its outcome.
    ASSERT_TRUE(recorder.waitFor(1));
    ASSERT_TRUE(waitUntilIdle(uploader));
    EXPECT_THAT(recorder.outcomes, ElementsAre(IsOutcome(free, 0, 200)));
    EXPECT_THAT(receivedNames(*server), ElementsAre("free.log"));
    const auto notStarted = records("W", "OpsFileUploader", "UploadNotStarted");
    ASSERT_EQ(notStarted.size(), 1u);
    EXPECT_THAT(notStarted[0], HasSubstr("reason = inUse : line "));
}

TEST_F(UploadQueue, FinishedFileStaysHeldUntilItsDeleterRemovesItUnderTheHold)
{
    server->setReplies(statuses({200, 403, 500}));
    const QString accepted = put(logs(), "accepted.log", 10);
    const QString refused = put(logs(), "refused.log", 10);
    const QString failed = put(logs(), "failed.log", 10);
    auto& share = Tellan::Platform::Installed<Tellan::Platform::FileShare>::get();
    const auto uploader = makeUploader(anHour);
    OutcomeRecorder recorder(uploader.get());
    {
        UploadThreadGate gate;
        uploader->uploadLogFile(accepted);
        uploader->uploadLogFile(refused);
        uploader->uploadLogFile(failed);
    }
    ASSERT_TRUE(recorder.waitFor(3));
    for (const QString& path : {accepted, refused}) {
        const auto file = Tellan::LongPath::fromText(path);
        EXPECT_TRUE(share.isInUse(file)) << path.toStdString();
        EXPECT_FALSE(Tellan::LongPath::remove(file)) << path.toStdString();
        Tellan::FileInUse hold = uploader->takeHold(path);
        EXPECT_TRUE(hold.held()) << path.toStdString();
        EXPECT_FALSE(uploader->takeHold(path).held());
        EXPECT_TRUE(Tellan::LongPath::removeHeld(file, hold)) << path.toStdString();
        EXPECT_FALSE(hold.held());
        EXPECT_FALSE(QFile::exists(path));
    }
    // A file that stays queued is not held while it waits.
    EXPECT_FALSE(share.isInUse(Tellan::LongPath::fromText(failed)));
}

TEST_F(UploadQueue, QueueGoesOnceNothingHoldsItAndNothingIsPending)
{
    const QString path = put(logs(), "one.log", 10);
    auto uploader = makeUploader();
    OutcomeRecorder recorder(uploader.get());
    uploader->uploadLogFile(path);
    ASSERT_TRUE(recorder.waitFor(1));
    ASSERT_TRUE(waitUntilIdle(uploader));
    // Its last upload stays with it; that must not keep it alive.
    const boost::weak_ptr<OpsFileUploader> watched = uploader;
    uploader.reset();
    onUploadThread<bool>([] { return true; });
    EXPECT_TRUE(watched.expired());
}
