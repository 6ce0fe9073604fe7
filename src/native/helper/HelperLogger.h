#pragma once

#include "Foundation/Lock.h"
#include "LogFile.h"
#include "Logger/LoggerBase.h"

#include <QtGlobal>

#include <boost/filesystem/path.hpp>
#include <boost/optional.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <cstdint>
#include <ctime>
#include <functional>
#include <sstream>
#include <string>

namespace Tellan {

// The helper's only log sink: ZorvikMusicHelper.log in the Logs folder. Each
// new file begins with the machine-facts header; at maxFileSize and at close
// the file is archived as ZorvikMusicHelper-v<version>-<UTC yymmdd-HHMMSS>.log.
// Lines reach the disk with CR LF line ends and are flushed before write
// returns; sizes are counted before that translation. LogFile does the disk
// work; this class decides when files begin and end and what failures cost.
//
// Failures lose as little as they can, and say so:
// - a line that cannot be written is counted, and the count is written
//   before the next line that gets through, or into the file at its end;
// - while no file can be opened (another holder's file at the current name,
//   a file that cannot be made or cannot take its header) lines wait, up to
//   maxFileSize bytes with newer ones counted; a new file gets the waiting
//   lines that fit, and the rest is counted as lost;
// - a header that could not be written or built is tried again only
//   kOpenRetrySeconds later, so a full disk costs no header per line;
// - a rotation that cannot move the file keeps writing to it;
// - a file that someone else removed or moved while the sink had it open is
//   noticed (at the first line of each second, at rotation and at close),
//   its content saved as an archive, and a new file begun.
//
// Any thread may call. Every operation holds the sink's recursive lock: a
// rotation inside write takes it again, and so do the records logged on the
// same thread while a header is built, which wait in the pending lines and
// follow the header. Another thread that logs meanwhile waits for the file.
class HelperLogger : public LoggerBase<Foundation::details::BaseLock<boost::recursive_mutex>> {
public:
    // The UTC time in seconds, read where a name is stamped and where the
    // sink spaces its checks and retries.
    typedef std::function<std::time_t()> Clock;

    // Seconds between two tries at a header that could not be written.
    static constexpr std::time_t kOpenRetrySeconds = 5;

    explicit HelperLogger(Clock clock = systemClock);
    ~HelperLogger() override;

    // "<baseName>-v<version>-<yymmdd>-<HHMMSS>.log" for a UTC moment.
    static std::string archivedFileName(const std::string& baseName, std::time_t utc);
    static std::time_t systemClock();

protected:
    // attach: takes over the lines logged before the sink, fixes the names
    // and rotates, which opens the first file.
    void attachLocked(std::stringstream& earlier) override;
    // close: archives the current file; no new one is opened.
    void closeLocked() override;
    void writeLocked(const std::string& line) override;
    // rotate: makes the Logs folder again if it went, archives the current
    // file and opens a new one.
    void rotateLocked() override;

private:
    enum class State {
        Detached, // before attach: lines wait
        Waiting, // no file: lines wait, and tries to open one
        Opening, // a rotation under way on this thread: lines wait
        Writing, // lines go to the file
        Closed, // after close: lines are counted and lost
    };

    void initFileNames();
    void rotateAt(std::time_t now);
    // Moves the current file to its archived name and, once it is moved,
    // closes it. False when a file stays at the current name; the open file
    // is then kept open.
    bool archiveCurrentFile(std::time_t now);
    // Creates the current file with its header and the pending lines. False
    // when a file already stands at the current name or cannot be created
    // or take its header.
    bool openLogFile(std::time_t now);
    void flushPendingToFile();
    // Saves the content of an open file that no longer stands at its name
    // as an archive, and closes it.
    void rescueFile(std::time_t now);
    boost::filesystem::path freeArchivePath(std::time_t now) const;

    void keepPending(const std::string& line);
    void retryOpen();
    // Writes the text after the report of the lines lost before it. False,
    // with none of the text in the file, when either does not get through.
    bool writeText(const char* text, std::size_t size);
    bool writeText(const std::string& text) { return writeText(text.data(), text.size()); }

    const Clock clock;
    boost::filesystem::path logDir;
    boost::filesystem::path logFilePath;
    LogFile file;
    State state;
    // Lines that arrived while no file was open, at most maxFileSize bytes.
    std::string pending;
    // Bytes counted into the current file (its header as on disk, lines as
    // given, before the CR LF translation).
    quint32 bytesWritten;
    std::string baseName;

    // Lines that no write could put into the file since the last report.
    std::uint32_t linesLost;
    // Lines refused by the full pending buffer since the last file opened.
    std::uint32_t pendingDropped;
    // When a header last failed; no new try before kOpenRetrySeconds.
    boost::optional<std::time_t> headerFailedAt;
    // The second in which the file was last found at its name.
    std::time_t checkedAt;
    // The report of a file removed by someone else, for the next file.
    std::string removedReport;
};

} // namespace Tellan
