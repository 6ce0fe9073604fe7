#pragma once

#include "OpsFileUploader.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <boost/shared_ptr.hpp>

namespace Tellan {

// The helper's clean-up and report pass. At construction and then every five
// minutes while started, it cuts the Logs folder down to 100 files and then
// to 15 MiB, deletes the helper's own archived logs and empty product logs,
// hands every other product log and every crash dump to the upload queue,
// and, when the queue tells an outcome, deletes what the service accepted
// (200) or refused for good (403). It keeps no state between passes: the two
// folders are the state.
//
// Others may act on those files meanwhile. A file is deleted only while it is
// the one that was read, unchanged and written by no one (LongPath::
// removeIfUnchanged); otherwise it stays for the next pass, with a WARNING
// logFileKept saying why. A symbolic link named like a log or a dump is
// neither followed, sent nor deleted (WARNING symbolicLinkSkipped).
//
// Lives on the main thread; every operation runs there. The queue's signals
// arrive as queued calls through the main thread's event loop.
class VykReporter : public QObject {
    Q_OBJECT

public:
    static constexpr int reportPeriodMilliseconds = 300000;
    static constexpr unsigned int logsFolderFileLimit = 100;
    static constexpr quint64 logsFolderByteLimit = 15728640;

    // Builds the queue, connects it and runs the first pass.
    VykReporter();
    // The same, with the queue's uploads going where options say (tests).
    explicit VykReporter(const OpsFileUploader::Options& options);
    ~VykReporter() override;

    // The report timer: started when the helper runs, stopped at shutdown.
    void start();
    void stop();

    void uploadCrashDumps();
    // Would keep a copy of a finished file in a folder of that name; keeps
    // nothing here and gives an empty text.
    QString archiveFile(const QString& filePath, const QString& folderName);

    const boost::shared_ptr<OpsFileUploader>& uploader() const { return uploader_; }

public Q_SLOTS:
    void uploadLogFiles();
    void uploadDiagnosticReports();

protected Q_SLOTS:
    void uploadSuccess(const QString& filePath);
    void uploadFailure(const QString& filePath, int error, int code);
    void timerUpdate();

private:
    // False when the deletion failed; a file kept for a reason of its own
    // (recorded as it is kept) is no failure.
    bool removeFinishedFile(const QString& filePath);

    boost::shared_ptr<OpsFileUploader> uploader_;
    QTimer* reportTimer_;
};

} // namespace Tellan
