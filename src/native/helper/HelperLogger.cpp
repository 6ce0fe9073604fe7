#include "HelperLogger.h"

#include "Foundation/ProductConstants.h"
#include "Logging/LogRecord.h"
#include "LongPath/LongPath.h"
#include "Storage/Storage.h"

#include <QString>

#include <boost/date_time/posix_time/conversion.hpp>
#include <boost/filesystem/exception.hpp>

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace fs = boost::filesystem;

namespace Tellan {

namespace {

const char kComponent[] = "HelperLogger";
const char kLogExtension[] = ".log";
const char kBaseNameSuffix[] = "Helper";
// How far past a taken archived name the next free second is looked for.
constexpr int kArchiveSecondsAhead = 3600;
// Pending lines go to a new file in pieces of whole lines of about this
// size, so that on a disk with little room what fits is kept.
constexpr std::size_t kPendingPiece = 64 * 1024;

std::uint32_t lineCount(const char* begin, const char* end)
{
    return static_cast<std::uint32_t>(std::count(begin, end, '\n'));
}

// The sink's own records are formatted here, not logged: each belongs to one
// place in one file, which going through the dispatcher would not keep.
std::string reportLine(LogRecord& record, int line, const LogSite& site)
{
    record.setLevel(Level::WARNING).setComponent(kComponent).setLine(line).setFunction(site);
    return record.format() + "\n";
}

std::string lostLinesReport(std::uint32_t lost)
{
    static const LogSite site(__PRETTY_FUNCTION__);
    LogRecord record(0);
    record.setEvent("LogLinesLost").addFields({{"lines", uint(lost)}});
    return reportLine(record, __LINE__, site);
}

std::string droppedLinesReport(std::uint32_t dropped, quint32 limit)
{
    static const LogSite site(__PRETTY_FUNCTION__);
    LogRecord record(0);
    record.setEvent("PendingLogLinesDropped").addFields({{"lines", uint(dropped)}, {"limit", uint(limit)}});
    return reportLine(record, __LINE__, site);
}

std::string fileRemovedReport(const std::string& savedAs)
{
    static const LogSite site(__PRETTY_FUNCTION__);
    LogRecord record(0);
    record.setEvent("LogFileRemovedByOther")
        .addFields({{"savedAs", QString::fromStdString(savedAs)}})
        .setMessage(QStringLiteral("the current log file was removed or moved by another program"));
    return reportLine(record, __LINE__, site);
}

} // namespace

HelperLogger::HelperLogger(Clock c)
    : clock(std::move(c)), state(State::Detached), bytesWritten(0), linesLost(0), pendingDropped(0), checkedAt(0)
{
}

HelperLogger::~HelperLogger() = default;

std::time_t HelperLogger::systemClock() { return std::time(nullptr); }

std::string HelperLogger::archivedFileName(const std::string& base, std::time_t utc)
{
    const std::tm t = boost::posix_time::to_tm(boost::posix_time::from_time_t(utc));
    // Two ASCII digits each, whatever the locale.
    const auto two = [](int value) { return static_cast<unsigned>(value) % 100u; };
    char stamp[16];
    std::snprintf(stamp, sizeof stamp, "%02u%02u%02u-%02u%02u%02u", two(t.tm_year), two(t.tm_mon + 1), two(t.tm_mday),
                  two(t.tm_hour), two(t.tm_min), two(t.tm_sec));
    return base + "-v" + Constants::version + "-" + stamp + kLogExtension;
}

void HelperLogger::attachLocked(std::stringstream& earlier)
{
    // Read through the buffer, so that the dispatcher's buffer is drained.
    const std::string text{std::istreambuf_iterator<char>(earlier), std::istreambuf_iterator<char>()};
    earlier.clear();
    earlier.flush();
    pending += text;
    initFileNames();
    state = State::Waiting;
    rotateLocked();
}

void HelperLogger::initFileNames()
{
    logDir = fs::path(Storage::logsDirectory().toUtf8().toStdString());
    baseName = QString::fromUtf8(Constants::productName).append(kBaseNameSuffix).remove(QLatin1Char(' ')).toStdString();
    logFilePath = logDir / (baseName + kLogExtension);
}

void HelperLogger::closeLocked()
{
    archiveCurrentFile(clock());
    // A file that could not be moved is closed all the same; the next start
    // archives it.
    file.close();
    state = State::Closed;
}

void HelperLogger::writeLocked(const std::string& line)
{
    switch (state) {
    case State::Detached:
    case State::Opening: keepPending(line); return;
    case State::Waiting:
        retryOpen();
        // The waiting lines may have filled the new file.
        if (state == State::Writing && bytesWritten >= maxFileSize)
            rotateLocked();
        if (state != State::Writing) {
            keepPending(line);
            return;
        }
        break;
    case State::Closed:
        // Archived: the line is lost, but counts towards the next file.
        bytesWritten += static_cast<quint32>(line.size());
        if (bytesWritten >= maxFileSize)
            rotateLocked();
        return;
    case State::Writing: {
        const std::time_t now = clock();
        if (now != checkedAt) {
            checkedAt = now;
            if (!file.isAt(logFilePath)) {
                try {
                    rotateAt(now);
                } catch (const fs::filesystem_error&) {
                    // No Logs folder can be made: the lines stay where the
                    // file is until one can.
                }
                if (state != State::Writing) {
                    keepPending(line);
                    return;
                }
            }
        }
        break;
    }
    }
    // A line that does not reach the disk does not count into its size.
    if (!writeText(line))
        ++linesLost;
    if (bytesWritten >= maxFileSize)
        rotateLocked();
}

void HelperLogger::retryOpen()
{
    const std::time_t now = clock();
    // A clock set back counts as time gone by.
    if (headerFailedAt && now >= *headerFailedAt && now - *headerFailedAt < kOpenRetrySeconds)
        return;
    try {
        rotateAt(now);
    } catch (...) {
        // No Logs folder yet, or no header could be built: the line waits
        // like the others.
    }
}

void HelperLogger::rotateLocked() { rotateAt(clock()); }

void HelperLogger::rotateAt(std::time_t now)
{
    // Lines logged on this thread meanwhile (the header's records above all)
    // wait in pending and follow the header.
    const State before = state;
    state = State::Opening;
    try {
        // Before anything changes: when the folder cannot be made the current
        // file stays open and in use. Throws boost::filesystem::filesystem_error.
        LongPath::createDirectories(logDir);
    } catch (...) {
        state = before;
        throw;
    }
    try {
        // Still open: lines keep going there and the next one tries again.
        // Someone else's file: lines wait in pending until it can be moved.
        if (archiveCurrentFile(now))
            openLogFile(now);
    } catch (...) {
        state = file.isOpen() ? State::Writing : State::Waiting;
        throw;
    }
    state = file.isOpen() ? State::Writing : State::Waiting;
}

bool HelperLogger::archiveCurrentFile(std::time_t now)
{
    if (file.isOpen()) {
        if (!file.isAt(logFilePath))
            rescueFile(now);
        else if (linesLost != 0)
            // The count goes into the file whose lines it counts, if a last
            // write fits.
            writeText("", 0);
    }
    if (LongPath::exists(logFilePath) && !file.moveAway(logFilePath, freeArchivePath(now)))
        return false;
    file.close();
    return true;
}

void HelperLogger::rescueFile(std::time_t now)
{
    const fs::path target = freeArchivePath(now);
    const std::string report = fileRemovedReport(target.filename().string());
    if (file.copyTo(target, report)) {
        // Told in the copy; the next file tells it too.
        removedReport = report;
    } else {
        LongPath::remove(target);
        removedReport = fileRemovedReport(std::string());
    }
    file.close();
}

fs::path HelperLogger::freeArchivePath(std::time_t now) const
{
    // An archiving in the same second as the last takes the next free
    // second, so that no archived log replaces another.
    fs::path target;
    for (int ahead = 0; ahead < kArchiveSecondsAhead; ++ahead) {
        target = logDir / archivedFileName(baseName, now + ahead);
        if (!LongPath::exists(target))
            break;
    }
    return target;
}

bool HelperLogger::openLogFile(std::time_t now)
{
    if (!file.create(logFilePath))
        return false;
    // No file without its header: the file goes, under its hold, and so do
    // the records that building the header logged, so that they appear once,
    // in the file that gets the header.
    const std::size_t mark = pending.size();
    const std::uint32_t droppedMark = pendingDropped;
    const auto abandon = [&] {
        file.discard(logFilePath);
        pending.resize(mark);
        pendingDropped = droppedMark;
        headerFailedAt = now;
    };
    std::string header;
    try {
        header = buildLogFileHeader();
    } catch (...) {
        abandon();
        throw;
    }
    if (!file.append(header)) {
        abandon();
        return false;
    }
    headerFailedAt = boost::none;
    checkedAt = now;
    bytesWritten = static_cast<quint32>(file.size());
    flushPendingToFile();

    if (pendingDropped != 0) {
        if (writeText(droppedLinesReport(pendingDropped, maxFileSize)))
            pendingDropped = 0;
        else
            ++linesLost;
    }
    if (!removedReport.empty()) {
        if (!writeText(removedReport))
            ++linesLost;
        removedReport.clear();
    }
    return true;
}

void HelperLogger::flushPendingToFile()
{
    const char* const begin = pending.data();
    const char* const end = begin + pending.size();
    const char* at = begin;
    while (at != end) {
        // Whole lines, at least one.
        const char* pieceEnd = at + std::min<std::size_t>(static_cast<std::size_t>(end - at), kPendingPiece);
        if (pieceEnd != end) {
            const char* feed = std::find(pieceEnd - 1, end, '\n');
            pieceEnd = feed == end ? end : feed + 1;
        }
        if (!writeText(at, static_cast<std::size_t>(pieceEnd - at))) {
            // What fits of the piece goes in a line at a time; from the first
            // line that does not, the rest is lost.
            for (; at != pieceEnd;) {
                const char* feed = std::find(at, pieceEnd, '\n');
                const char* lineEnd = feed == pieceEnd ? pieceEnd : feed + 1;
                if (!writeText(at, static_cast<std::size_t>(lineEnd - at))) {
                    linesLost += lineCount(at, end);
                    at = end;
                    break;
                }
                at = lineEnd;
            }
            if (at == end)
                break;
        }
        at = pieceEnd;
    }
    pending.clear();
    pending.shrink_to_fit();
}

void HelperLogger::keepPending(const std::string& line)
{
    // Bounded like a file: without a file for the life of a daemon, the
    // first lines are kept and the newer ones counted. The records of the
    // header being built belong to it and follow it; a header that fails
    // takes its records back out, so they never pile up.
    if (state != State::Opening && pending.size() + line.size() > maxFileSize) {
        ++pendingDropped;
        return;
    }
    pending += line;
}

bool HelperLogger::writeText(const char* text, std::size_t size)
{
    if (linesLost == 0) {
        if (!file.append(text, size))
            return false;
        bytesWritten += static_cast<quint32>(size);
        return true;
    }
    // In one write with the report, so that a report stands only right
    // before the first text that got through after the loss, or at the end.
    std::string reported = lostLinesReport(linesLost);
    const std::size_t reportSize = reported.size();
    reported.append(text, size);
    if (!file.append(reported))
        return false;
    bytesWritten += static_cast<quint32>(reportSize + size);
    linesLost = 0;
    return true;
}

} // namespace Tellan
