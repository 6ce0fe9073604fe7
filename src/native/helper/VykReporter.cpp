#include "VykReporter.h"

#include "FileSystem/FileSystemUtility.h"
#include "Foundation/ProductConstants.h"
#include "Logging/Log.h"
#include "LongPath/LongPath.h"
#include "Platform/FileShare.h"
#include "Storage/Storage.h"

#include <QDir>
#include <QFileInfo>
#include <QRegExp>

#include <cstdint>
#include <limits>

namespace Tellan {

namespace {

// Never destroyed: a pool thread may still run while exit-time destructors do.
struct ReporterConstants {
    static QString withoutSpaces(QString name) { return name.remove(QLatin1Char(' '), Qt::CaseSensitive); }

    const QString productPrefix = withoutSpaces(QString::fromUtf8(Constants::productName));
    const QString formerPrefix = withoutSpaces(QStringLiteral("Zorvik Brellin"));
    const QRegExp helperLogPattern{
        QStringLiteral("^(%1|%2)(Helper)-v.*-([0-9]){6}-([0-9]){6}\\.log$").arg(productPrefix, formerPrefix),
        Qt::CaseSensitive, QRegExp::RegExp};
    const QRegExp productLogPattern{
        QStringLiteral("^(%1|%2)(Installer|Migrator|-browser|-renderer|){0,1}-v.*-([0-9]){6}-([0-9]){6}\\.log$")
            .arg(productPrefix, formerPrefix),
        Qt::CaseSensitive, QRegExp::RegExp};
    const QRegExp crashDumpPattern{QStringLiteral(".*\\.dmp"), Qt::CaseSensitive, QRegExp::RegExp};
    const QString uploadedFolder = QStringLiteral("uploaded");
    const QString discardedFolder = QStringLiteral("discarded");
};

const ReporterConstants& constants()
{
    static const ReporterConstants* const c = new ReporterConstants();
    return *c;
}

// A name that begins with a dot is an ordinary name where these files come
// from, so hidden files are listed too.
QFileInfoList filesOf(const QString& folder)
{
    return QDir(folder).entryInfoList(QDir::Files | QDir::Hidden, QDir::NoSort);
}

// The name shown in records: the path from its last native separator on.
// Qt paths carry forward slashes and the separator looked for has always been
// a backslash, so the whole path is shown; a backslash is an ordinary
// character of a name here, so the path is kept whole.
QString fileNameOf(const QString& path) { return path; }

// The path's UTF-8 bytes, one character per byte, so that the log line
// carries them unchanged.
QString nameField(const QString& path) { return QString::fromLatin1(fileNameOf(path).toUtf8()); }

// Why a file was kept rather than deleted, with its path.
void recordKept(const QString& path, const char* reason)
{
    TLOG_EVENT(WARNING, "VykReporter", "logFileKept", {"name", nameField(path)}, {"reason", reason});
}

// A file that its writer still has open is left alone, as where these files
// come from it could not be deleted; so is one that changed since it was
// looked at.
void removeUnlessBeingWritten(const QString& path)
{
    const boost::filesystem::path file = LongPath::fromText(path);
    const Platform::Removal removal = LongPath::removeIfUnchanged(file, LongPath::stampOf(file));
    if (removal != Platform::Removal::Missing)
        if (const char* reason = LongPath::keptBecause(removal))
            recordKept(path, reason);
}

// The product folders hold no links of their own: one is neither followed,
// sent nor deleted.
bool skipLink(const QString& path)
{
    if (!LongPath::stampOf(LongPath::fromText(path)).symbolicLink)
        return false;
    TLOG_EVENT(WARNING, "VykReporter", "symbolicLinkSkipped", {"name", nameField(path)});
    return true;
}

// The size of a file that is there (a link followed), by whatever length of
// path; 0 when it is gone.
std::uint64_t sizeIfThere(const QString& path)
{
    const std::uint64_t size = LongPath::fileSize(LongPath::fromText(path));
    return size == std::numeric_limits<std::uint64_t>::max() ? 0 : size;
}

} // namespace

VykReporter::VykReporter() : VykReporter(OpsFileUploader::Options()) {}

VykReporter::VykReporter(const OpsFileUploader::Options& options)
    : QObject(nullptr), uploader_(new OpsFileUploader(nullptr, options)), reportTimer_(new QTimer(this))
{
    connect(uploader_.get(), &OpsFileUploader::uploadSuccess, this, &VykReporter::uploadSuccess, Qt::AutoConnection);
    connect(uploader_.get(), &OpsFileUploader::uploadFailure, this, &VykReporter::uploadFailure, Qt::AutoConnection);
    connect(reportTimer_, &QTimer::timeout, this, &VykReporter::timerUpdate, Qt::AutoConnection);
    timerUpdate();
}

VykReporter::~VykReporter() = default;

void VykReporter::start() { reportTimer_->start(reportPeriodMilliseconds); }

void VykReporter::stop() { reportTimer_->stop(); }

void VykReporter::timerUpdate()
{
    const boost::filesystem::path logs = LongPath::fromText(Storage::logsDirectory());
    FileSystemUtility::deleteOldestFilesByCount(logs, logsFolderFileLimit);
    FileSystemUtility::deleteOldestFilesBySize(logs, logsFolderByteLimit);
    uploadLogFiles();
    uploadCrashDumps();
}

void VykReporter::uploadLogFiles()
{
    const ReporterConstants& c = constants();
    for (const QFileInfo& fileInfo : filesOf(Storage::logsDirectory())) {
        const QString name = fileInfo.fileName();
        const QString path = fileInfo.absoluteFilePath();
        const bool product = c.productLogPattern.exactMatch(name);
        const bool helper = c.helperLogPattern.exactMatch(name);
        if ((product || helper) && skipLink(path))
            continue;
        if (helper) {
            removeUnlessBeingWritten(path);
        } else if (product && LongPath::exists(LongPath::fromText(path))) {
            if (sizeIfThere(path) > 0) {
                TLOG(TRACE, "VykReporter") << "fileInfo.fileName () = " << name << " << UPLOADING >>";
                uploader_->uploadLogFile(path);
            } else {
                TLOG(TRACE, "VykReporter") << "fileInfo.fileName () = " << name << " << DELETING EMPTY >>";
                removeUnlessBeingWritten(path);
            }
        } else {
            TLOG_EVENT(INFO, "VykReporter", "skippingLogFile", {"filename", name});
        }
    }
}

void VykReporter::uploadCrashDumps()
{
    const ReporterConstants& c = constants();
    for (const QFileInfo& fileInfo : filesOf(Storage::crashReportsDirectory())) {
        const QString path = fileInfo.absoluteFilePath();
        if (!c.crashDumpPattern.exactMatch(fileInfo.fileName()) || skipLink(path))
            continue;
        if (LongPath::exists(LongPath::fromText(path)))
            uploader_->uploadCrashDump(path);
    }
}

void VykReporter::uploadDiagnosticReports() {}

bool VykReporter::removeFinishedFile(const QString& filePath)
{
    // Deleted under the queue's hold, which it kept since the upload began,
    // so that no other helper sends the file again before it is gone; and
    // only if it is still the file that was sent, unchanged and unwritten.
    FileInUse hold = uploader_->takeHold(filePath);
    const Platform::Removal removal = LongPath::removeIfUnchanged(LongPath::fromText(filePath), hold);
    if (removal == Platform::Removal::Removed)
        return true;
    if (removal == Platform::Removal::Missing || removal == Platform::Removal::Failed)
        return false;
    // Kept for the next pass, which sends it whole; a file that took the
    // name is left to that pass too.
    recordKept(filePath, LongPath::keptBecause(removal));
    return true;
}

QString VykReporter::archiveFile(const QString&, const QString&) { return QString(); }

void VykReporter::uploadSuccess(const QString& filePath)
{
    TLOG_EVENT(INFO, "VykReporter", "logUploadSuccess", {"name", nameField(filePath)});
    archiveFile(filePath, constants().uploadedFolder);
    if (!removeFinishedFile(filePath))
        TLOG_EVENT(ERROR, "VykReporter", "logFileDeletionError", {"name", nameField(filePath)});
}

void VykReporter::uploadFailure(const QString& filePath, int error, int code)
{
    if (code == 403) {
        const QString archivePath = archiveFile(filePath, constants().discardedFolder);
        TLOG_EVENT(INFO, "VykReporter", "LogFileDiscarded", {"archivePath", archivePath});
        if (!removeFinishedFile(filePath))
            TLOG_EVENT(ERROR, "VykReporter", "logFileDeletionError", {"name", nameField(filePath)});
    }
    TLOG_EVENT(ERROR, "VykReporter", "LogUploadFailed", {"error", error}, {"httpCode", code},
               {"name", nameField(filePath)});
}

} // namespace Tellan
