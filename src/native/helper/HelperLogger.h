#pragma once

#include "LongPath/FileInUse.h"
#include "Foundation/Lock.h"
#include "Logger/LoggerBase.h"

#include <QtGlobal>

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <cstdint>
#include <ctime>
#include <sstream>
#include <string>

namespace Tellan {

// The helper's only log sink: ZorvikMusicHelper.log in the Logs folder. Each
// new file begins with the machine-facts header; at maxFileSize and at close
// the file is archived as ZorvikMusicHelper-v<version>-<UTC yymmdd-HHMMSS>.log.
// Lines reach the disk with CR LF line ends and are flushed before write
// returns; sizes are counted before that translation.
//
// While the sink holds its file, the file is marked in use, so that no other
// process (nor this one's pruning) moves or deletes it from under the sink.
//
// Failures lose as little as they can: a line that cannot be written is
// counted and the file says so once writing works again; while no file can
// be opened (another holder's file at the current name, a file that cannot
// be made) lines wait, up to maxFileSize bytes with newer ones counted, and
// every line tries again; a rotation that cannot move the file keeps
// writing to it.
//
// Any thread may call. Every operation holds the sink's recursive lock: a
// rotation inside write takes it again, and so do the records logged on the
// same thread while a header is built, which wait in the pending lines and
// follow the header. Another thread that logs meanwhile waits for the file.
class HelperLogger : public LoggerBase<Foundation::details::BaseLock<boost::recursive_mutex>> {
public:
    HelperLogger();
    ~HelperLogger() override;

    // "<baseName>-v<version>-<yymmdd>-<HHMMSS>.log" for a UTC moment.
    static std::string archivedFileName(const std::string& baseName, std::time_t utc);

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
    void initFileNames();
    // Moves the current file to its archived name and, once it is moved,
    // closes it. False when a file stays at the current name; the open file
    // is then kept open.
    bool archiveCurrentFile();
    // Creates the current file with its header and the pending lines. False
    // when a file already stands at the current name or cannot be created.
    bool openLogFile();
    void flushPendingToFile();

    void keepPending(const std::string& line);
    bool writeToFile(const std::string& text);
    void reportLostLines();

    boost::filesystem::path logDir;
    boost::filesystem::path logFilePath;
    boost::filesystem::ofstream file;
    FileInUse inUse;
    // Lines that arrived while no file was open, at most maxFileSize bytes.
    std::string pending;
    bool fileOpen;
    // Bytes counted into the current file (its header as on disk, lines as
    // given, before the CR LF translation).
    quint32 bytesWritten;
    std::string baseName;

    // Bytes of the current file on disk, where a failed write is cut back to.
    std::uint64_t diskBytes;
    // Lines that no write could put into the file since the last report.
    std::uint32_t linesLost;
    // Lines refused by the full pending buffer since the last file opened.
    std::uint32_t pendingDropped;
    bool attached;
    // close() ended the file: only a line that reaches the limit opens another.
    bool closed;
    // A header is being built: lines wait in pending.
    bool opening;
};

} // namespace Tellan
