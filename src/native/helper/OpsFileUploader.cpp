#include "OpsFileUploader.h"

#include "Event/Dispatcher.h"
#include "Logging/Log.h"
#include "LongPath/LongPath.h"
#include "Platform/FileShare.h"
#include "Platform/Platform.h"
#include "Settings/SharedStorage.h"
#include "ThreadBoundCallback.h"

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

namespace Tellan {

namespace {

const char assertionMessage[] = "Modifications to upload queue must occur on the File Upload thread.";

void assertOnUploadThread() { Event::Dispatcher::assertThread(Event::DEFAULT_THREAD, assertionMessage); }

} // namespace

boost::posix_time::time_duration OpsFileUploader::nextRetryDelay(const boost::posix_time::time_duration& current)
{
    const std::int64_t now = current.total_microseconds();
    // Compared before multiplying, so that no value can overflow.
    const std::int64_t next =
        now > retryDelayCapMicroseconds / retryDelayFactor ? retryDelayCapMicroseconds : now * retryDelayFactor;
    return boost::posix_time::microseconds(std::min(next, retryDelayCapMicroseconds));
}

OpsFileUploader::Options::Options() : firstRetryDelay(boost::posix_time::microseconds(retryDelayStartMicroseconds)) {}

OpsFileUploader::OpsFileUploader(QObject* parent) : OpsFileUploader(parent, Options()) {}

OpsFileUploader::OpsFileUploader(QObject* parent, const Options& options)
    : QObject(parent), uploading(false), retryDelay(options.firstRetryDelay), deviceId(SharedStorage::getDeviceId()),
      endpoint(options.endpoint), retriesPending(0)
{
}

OpsFileUploader::~OpsFileUploader() = default;

void OpsFileUploader::uploadLogFile(const QString& filePath)
{
    post(boost::make_shared<OpsFileInfo>(filePath, OpsFileInfo::LogFile));
}

void OpsFileUploader::uploadCrashDump(const QString& filePath)
{
    post(boost::make_shared<OpsFileInfo>(filePath, OpsFileInfo::CrashDump));
}

void OpsFileUploader::post(const boost::shared_ptr<OpsFileInfo>& info)
{
    const boost::shared_ptr<OpsFileUploader> self = shared_from_this();
    Event::Dispatcher::post(Event::DEFAULT_THREAD, [self, info] { self->queueFileUpload(info); });
}

void OpsFileUploader::queueFileUpload(const boost::shared_ptr<OpsFileInfo>& info)
{
    assertOnUploadThread();
    if (insertPendingFileUpload(info))
        startNextUpload();
}

bool OpsFileUploader::insertPendingFileUpload(const boost::shared_ptr<OpsFileInfo>& info)
{
    if (pendingPaths.count(info->path) != 0) {
        TLOG_EVENT(WARNING, "OpsFileUploader", "DuplicateFileWarning", {"fileName", info->path});
        return false;
    }
    pendingPaths.insert(info->path);
    pendingUploads.push_back(info);
    return true;
}

bool OpsFileUploader::popPendingFileUpload()
{
    if (pendingUploads.empty())
        return false;
    pendingPaths.erase(pendingUploads.front()->path);
    pendingUploads.pop_front();
    return true;
}

void OpsFileUploader::startNextUpload()
{
    assertOnUploadThread();
    // A loop, not a chain of calls: any number of heads that cannot start
    // leave one after the other without deepening the stack.
    while (!uploading && !pendingUploads.empty()) {
        const boost::shared_ptr<OpsFileInfo> head = pendingUploads.front();
        if (awaitsDeletion(head->path)) {
            // Queued again by a pass that ran before the main thread took
            // the outcome: sending it again would hand its deleter the hold
            // of this second upload, or none while it runs.
            TLOG_EVENT(INFO, "OpsFileUploader", "UploadNotStarted", {"fileName", head->path},
                       {"reason", "awaitingDeletion"});
            popPendingFileUpload();
            continue;
        }
        const NotStarted notStarted = reasonNotToStart(head->path);
        if (notStarted.reason) {
            // Out of the queue, kept on disk, offered again by the next pass.
            TLOG_EVENT(WARNING, "OpsFileUploader", "UploadNotStarted", {"fileName", head->path},
                       {"reason", notStarted.reason});
            currentHold.release();
            if (notStarted.failure)
                Q_EMIT uploadFailure(head->path, 0, 0);
            popPendingFileUpload();
            continue;
        }
        uploading = true;
        if (startUpload(head))
            return;
    }
}

OpsFileUploader::NotStarted OpsFileUploader::reasonNotToStart(const QString& path)
{
    // Another helper sending the file is no failure: its own outcome
    // follows. Any other reason is one of an upload that could not start.
    const NotStarted inUse{"inUse", false};
    // Pruning or anyone else may have deleted a file while it waited.
    const boost::filesystem::path file = LongPath::fromText(path);
    if (!LongPath::exists(file))
        return {"missing", true};
    Platform::FileShare& share = Platform::Installed<Platform::FileShare>::get();
    // Another helper is sending it (its hold also keeps the file open for
    // writing, so this is asked first to tell the two apart).
    if (share.isInUse(file))
        return inUse;
    // A file still being written would go out cut short. Asked before our
    // own hold, whose description may be open for writing too. A file whose
    // writers cannot be told waits until it has been left alone a while.
    if (const char* written = LongPath::stillWritten(file))
        return {written, true};
    FileInUse hold(file);
    if (!hold.held() && Platform::getLastError() == Platform::ERROR_SHARING_VIOLATION_CODE)
        return inUse;
    currentHold = std::move(hold);
    // Any other failure to hold it (a file system without such locks) leaves
    // the upload itself to find out whether the file can be read.
    return {nullptr, false};
}

bool OpsFileUploader::startUpload(const boost::shared_ptr<OpsFileInfo>& info)
{
    assertOnUploadThread();
    ThreadBoundCallback callback;
    callback.threadId = Event::DEFAULT_THREAD;
    // The upload keeps its callback and the queue keeps the upload: a strong
    // reference here would make a cycle that no queue ever leaves. The step
    // that starts an upload holds the queue until the result is posted.
    const boost::weak_ptr<OpsFileUploader> queue = shared_from_this();
    callback.function = [queue](int error) {
        if (const boost::shared_ptr<OpsFileUploader> self = queue.lock())
            self->uploadFinished(error);
    };

    currentUpload.reset(new OpsFileUpload(info, deviceId, callback, endpoint));
    if (currentUpload->Start())
        return true;

    currentHold.release();
    Q_EMIT uploadFailure(info->path, 0, 0);
    finishCurrentUpload(false);
    return false;
}

void OpsFileUploader::uploadFinished(int error)
{
    assertOnUploadThread();
    const int status = currentUpload->httpStatus;
    TLOG(INFO, "OpsFileUploader") << "Log upload complete.  Status = " << status;
    const QString path = currentUpload->info->path;

    if (status == 200) {
        keepHoldUntilDeleted(path);
        Q_EMIT uploadSuccess(path);
        finishCurrentUpload(false);
        startNextUpload();
        return;
    }
    if (status == 403)
        keepHoldUntilDeleted(path);
    else
        currentHold.release();
    Q_EMIT uploadFailure(path, error, status);
    if (status == 403) {
        finishCurrentUpload(false);
        startNextUpload();
        return;
    }
    finishCurrentUpload(true);
}

void OpsFileUploader::finishCurrentUpload(bool retry)
{
    assertOnUploadThread();
    uploading = false;
    if (!retry) {
        popPendingFileUpload();
        return;
    }
    retryLater();
}

void OpsFileUploader::retryLater()
{
    // One retry pending at most. A head that failed again after a new path
    // started it early is retried by the task already waiting: another task
    // would only send the same file once more for every such path. The delay
    // does not grow then either: it grows with each retry scheduled, and a
    // few new paths behind a failing head must not push it to the hour.
    if (retriesPending.load() > 0)
        return;
    ++retriesPending;
    const boost::shared_ptr<OpsFileUploader> self = shared_from_this();
    Event::Dispatcher::postDelayed(
        Event::DEFAULT_THREAD,
        [self] {
            --self->retriesPending;
            self->startNextUpload();
        },
        retryDelay);
    retryDelay = nextRetryDelay(retryDelay);
}

void OpsFileUploader::keepHoldUntilDeleted(const QString& path)
{
    std::lock_guard<std::mutex> lock(finishedHoldsMutex);
    finishedHolds[path] = std::move(currentHold);
}

FileInUse OpsFileUploader::takeHold(const QString& filePath)
{
    std::lock_guard<std::mutex> lock(finishedHoldsMutex);
    const auto found = finishedHolds.find(filePath);
    if (found == finishedHolds.end())
        return FileInUse();
    FileInUse hold = std::move(found->second);
    finishedHolds.erase(found);
    return hold;
}

bool OpsFileUploader::awaitsDeletion(const QString& path)
{
    std::lock_guard<std::mutex> lock(finishedHoldsMutex);
    return finishedHolds.count(path) != 0;
}

boost::posix_time::time_duration OpsFileUploader::currentRetryDelay() const
{
    assertOnUploadThread();
    return retryDelay;
}

bool OpsFileUploader::isIdle() const
{
    assertOnUploadThread();
    return pendingUploads.empty() && !uploading;
}

int OpsFileUploader::pendingRetries() const { return retriesPending.load(); }

} // namespace Tellan
