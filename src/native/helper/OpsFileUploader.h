#pragma once

#include "LongPath/FileInUse.h"
#include "OpsFileInfo.h"
#include "OpsFileUpload.h"

#include <QObject>
#include <QString>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace Tellan {

// The helper's upload queue. Paths handed in on any thread are moved to the
// File Upload thread (the one thread of the dispatcher's DEFAULT_THREAD pool),
// kept first in, first out without duplicates and sent one at a time. Every
// outcome is reported by a signal emitted on the File Upload thread:
// uploadSuccess for HTTP 200, uploadFailure for everything else.
//
// A file accepted (200), refused for good (403) or that could not be started
// leaves the queue; after any other outcome it stays at the head and is tried
// again after the retry delay (1 ms, four-fold per retry, at most 1 hour; never
// reset). The queue never deletes files.
//
// A head is not started, and is reported as "could not start" (error 0,
// status 0) and dropped, when its file is gone or when another process may
// still be writing it (a writer is known, or its writers cannot be told and
// it changed within LongPath::QUIET_PERIOD). One that another helper is
// sending is dropped without a report: that helper reports its outcome. A head that was
// accepted or refused for good and is still held for deletion is dropped
// without a report: the report of its upload is on its way.
//
// Always owned by a boost::shared_ptr: every task it posts holds one, so a
// queued task or a pending retry keeps it alive.
class OpsFileUploader : public QObject, public boost::enable_shared_from_this<OpsFileUploader> {
    Q_OBJECT

public:
    // Retry delays, in microseconds.
    static constexpr std::int64_t retryDelayStartMicroseconds = 1000;
    static constexpr std::int64_t retryDelayFactor = 4;
    static constexpr std::int64_t retryDelayCapMicroseconds = std::int64_t(3600) * 1000 * 1000;

    // The delay that follows `current`: four times it, but never above the cap.
    static boost::posix_time::time_duration nextRetryDelay(const boost::posix_time::time_duration& current);

    // Where uploads go and the first retry delay. The default is the helper's
    // own: the compiled-in upload service and the 1 ms start.
    struct Options {
        Options();
        OpsFileUpload::Endpoint endpoint;
        boost::posix_time::time_duration firstRetryDelay;
    };

    // Reads the device id (generating and storing it the first time): call it
    // on the main thread.
    explicit OpsFileUploader(QObject* parent = nullptr);
    OpsFileUploader(QObject* parent, const Options& options);
    ~OpsFileUploader() override;

    // Queue steps, each run only on the File Upload thread: the asserted ones
    // throw Event::Dispatcher::InvalidThreadException anywhere else.
    void queueFileUpload(const boost::shared_ptr<OpsFileInfo>& info);
    bool insertPendingFileUpload(const boost::shared_ptr<OpsFileInfo>& info);
    bool popPendingFileUpload();
    void startNextUpload();
    // False when the upload could not start; its end has then been handled.
    bool startUpload(const boost::shared_ptr<OpsFileInfo>& info);
    void uploadFinished(int error);
    void finishCurrentUpload(bool retry);

    // Nothing queued and nothing in flight. File Upload thread only.
    bool isIdle() const;

    // Retry tasks posted and not yet run: never more than one. Any thread.
    int pendingRetries() const;

    // The delay the next retry will wait. File Upload thread only.
    boost::posix_time::time_duration currentRetryDelay() const;

    // After 200 or 403 the file stays held until whoever deletes it takes
    // the hold here and deletes the file under it, if it is still the file
    // the hold stamped (LongPath::removeIfUnchanged):
    // released any earlier, another helper could send the file again before
    // it is gone. Until then the queue does not send the file again. An
    // empty hold when there is none. Any thread.
    FileInUse takeHold(const QString& filePath);

Q_SIGNALS:
    void uploadSuccess(const QString& fileName);
    void uploadFailure(const QString& fileName, int error, int httpCode);

public Q_SLOTS:
    // Any thread; they only post the path to the File Upload thread.
    void uploadLogFile(const QString& filePath);
    void uploadCrashDump(const QString& filePath);

private:
    void post(const boost::shared_ptr<OpsFileInfo>& info);
    // Why the head cannot be started now.
    struct NotStarted {
        // Null when it can be started.
        const char* reason;
        // Whether to report it as an upload that failed.
        bool failure;
    };
    NotStarted reasonNotToStart(const QString& path);
    // Sent already and held for whoever deletes it.
    bool awaitsDeletion(const QString& path);
    void retryLater();
    void keepHoldUntilDeleted(const QString& path);

    std::set<QString> pendingPaths;
    std::deque<boost::shared_ptr<OpsFileInfo>> pendingUploads;
    bool uploading;
    boost::posix_time::time_duration retryDelay;
    std::unique_ptr<OpsFileUpload> currentUpload;
    std::string deviceId;

    OpsFileUpload::Endpoint endpoint;
    // Held on the file being sent until its end has been handled, so that
    // another helper does not send it too and nobody deletes it meanwhile.
    FileInUse currentHold;
    std::mutex finishedHoldsMutex;
    std::map<QString, FileInUse> finishedHolds;
    std::atomic<int> retriesPending;
};

} // namespace Tellan
