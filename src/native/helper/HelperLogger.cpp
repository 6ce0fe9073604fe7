#include "HelperLogger.h"

#include "Foundation/ProductConstants.h"
#include "Logging/Log.h"
#include "LongPath/LongPath.h"
#include "Platform/Platform.h"
#include "Storage/Storage.h"

#include <QString>

#include <boost/date_time/posix_time/conversion.hpp>
#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <limits>

namespace fs = boost::filesystem;

namespace Tellan {

namespace {

const char kComponent[] = "HelperLogger";
const char kLogExtension[] = ".log";
const char kBaseNameSuffix[] = "Helper";
// How far past a taken archived name the next free second is looked for.
constexpr int kArchiveSecondsAhead = 3600;

// The file is a Windows text file: every line feed is CR LF on disk.
std::string withCrLf(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
    for (const char c : text) {
        if (c == '\n')
            out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

std::uint32_t lineCount(const std::string& text)
{
    return static_cast<std::uint32_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

HelperLogger::HelperLogger()
    : fileOpen(false), bytesWritten(0), diskBytes(0), linesLost(0), pendingDropped(0), attached(false), closed(false),
      opening(false)
{
    // Unbuffered: each line goes to the file in one write, and a write that
    // fails leaves nothing behind in the stream to come out later.
    file.rdbuf()->pubsetbuf(nullptr, 0);
}

HelperLogger::~HelperLogger() = default;

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
    attached = true;
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
    archiveCurrentFile();
    // A file that could not be moved is closed all the same; the next start
    // archives it.
    inUse.release();
    if (file.is_open())
        file.close();
    file.clear();
    closed = true;
}

void HelperLogger::writeLocked(const std::string& line)
{
    if (!fileOpen) {
        // No file could be opened, or the one at the current name could not
        // be moved away: every line tries again.
        if (attached && !closed && !opening) {
            try {
                rotateLocked();
            } catch (...) {
                // No Logs folder yet, or no header could be built: the line
                // waits like the others.
            }
        }
        if (!fileOpen) {
            keepPending(line);
            return;
        }
    }
    if (!file.is_open()) {
        // Closed: the line is lost, but counts towards the next file.
        bytesWritten += static_cast<quint32>(line.size());
    } else {
        if (linesLost != 0)
            reportLostLines();
        // A line that does not reach the disk does not count into its size.
        if (writeToFile(line))
            bytesWritten += static_cast<quint32>(line.size());
        else
            ++linesLost;
    }
    if (bytesWritten >= maxFileSize)
        rotateLocked();
}

void HelperLogger::rotateLocked()
{
    // Before anything changes: when the folder cannot be made the current
    // file stays open and in use. Throws boost::filesystem::filesystem_error.
    LongPath::createDirectories(logDir);
    if (!archiveCurrentFile()) {
        // Still open: lines keep going there and the next one tries again.
        // Someone else's file: lines wait in pending until it can be moved.
        if (!file.is_open())
            fileOpen = false;
        return;
    }
    if (!openLogFile())
        fileOpen = false;
}

bool HelperLogger::archiveCurrentFile()
{
    if (LongPath::exists(logFilePath)) {
        // An archiving in the same second as the last takes the next free
        // second, so that no archived log replaces another.
        const std::time_t now = std::time(nullptr);
        fs::path target;
        for (int ahead = 0; ahead < kArchiveSecondsAhead; ++ahead) {
            target = logDir / archivedFileName(baseName, now + ahead);
            if (!LongPath::exists(target))
                break;
        }
        // Moved while still open and held, so that no one takes the file up
        // in between; a file that cannot be moved (in use by another
        // process) is kept, still held, and written on.
        LongPath::renameHeld(logFilePath, target, inUse);
        if (LongPath::exists(logFilePath))
            return false;
    }
    inUse.release();
    if (file.is_open())
        file.close();
    file.clear();
    return true;
}

bool HelperLogger::openLogFile()
{
    if (LongPath::exists(logFilePath))
        return false;
    fileOpen = false;
    diskBytes = 0;
    file.clear();
    file.open(logFilePath, std::ios::out | std::ios::app | std::ios::binary);
    if (!file.is_open()) {
        // Tried again at the next line; the lines wait in pending meanwhile.
        file.clear();
        return false;
    }
    inUse = FileInUse(logFilePath);
    if (!inUse.held()) {
        // Another process made and holds the file since the test above, or
        // the file was moved away before the hold: not ours to write on.
        file.close();
        file.clear();
        return false;
    }
    // Written through a description opened under the hold: the file made
    // above may have been moved and another put in its place before the
    // hold was taken. One that is not empty is someone else's.
    file.close();
    file.clear();
    file.open(logFilePath, std::ios::out | std::ios::app | std::ios::binary);
    if (!file.is_open() || !inUse.isAt(logFilePath) || LongPath::fileSize(logFilePath) != 0) {
        inUse.release();
        file.close();
        file.clear();
        return false;
    }

    struct Opening {
        bool& flag;
        explicit Opening(bool& f) : flag(f) { flag = true; }
        ~Opening() { flag = false; }
    } building(opening);
    // No file without its header: the file goes, under its hold, and the
    // next line tries again.
    const auto abandon = [this] {
        file.close();
        file.clear();
        LongPath::removeHeld(logFilePath, inUse);
    };
    // Building the header logs; those lines wait in pending and follow it.
    std::string header;
    try {
        header = buildLogFileHeader();
    } catch (...) {
        abandon();
        throw;
    }
    if (!writeToFile(header)) {
        abandon();
        return false;
    }
    const std::uint64_t size = LongPath::fileSize(logFilePath);
    bytesWritten = static_cast<quint32>(size == std::numeric_limits<std::uint64_t>::max() ? diskBytes : size);
    flushPendingToFile();
    fileOpen = true;
    closed = false;

    if (pendingDropped != 0) {
        const uint dropped = pendingDropped;
        pendingDropped = 0;
        TLOG_EVENT(WARNING, kComponent, "PendingLogLinesDropped", {"lines", dropped}, {"limit", uint(maxFileSize)});
    }
    return true;
}

void HelperLogger::flushPendingToFile()
{
    if (!pending.empty()) {
        if (writeToFile(pending))
            bytesWritten += static_cast<quint32>(pending.size());
        else
            linesLost += lineCount(pending);
    }
    pending.clear();
    pending.shrink_to_fit();
}

void HelperLogger::keepPending(const std::string& line)
{
    // Bounded like a file: without a file for the life of a daemon, the
    // first lines are kept and the newer ones counted. The few lines logged
    // while a header is built always follow it.
    if (!opening && pending.size() + line.size() > maxFileSize) {
        ++pendingDropped;
        return;
    }
    pending += line;
}

bool HelperLogger::writeToFile(const std::string& text)
{
    const std::string bytes = withCrLf(text);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.flush();
    if (file) {
        diskBytes += bytes.size();
        return true;
    }
    // A full disk: cut off what part of the line got through, so that the
    // next line starts on a line of its own. Through the hold, not the name:
    // another file may stand at the name by now.
    file.clear();
    inUse.truncate(diskBytes);
    return false;
}

void HelperLogger::reportLostLines()
{
    const uint lost = linesLost;
    linesLost = 0;
    TLOG_EVENT(WARNING, kComponent, "LogLinesLost", {"lines", lost});
    // The report itself did not get through: the count waits for the next.
    if (linesLost != 0)
        linesLost = lost;
}

} // namespace Tellan
