#pragma once

#include <QtGlobal>

#include <sstream>
#include <string>

namespace Tellan {

// The abstract log sink. The dispatcher calls write() from any thread with
// no lock of its own held, so an implementation serialises its own state.
class Logger {
public:
    Logger();
    virtual ~Logger();

    // Takes over every line logged before the sink existed: reads the pending
    // buffer to its end (the dispatcher does not clear it). Called once, on
    // the thread that installs the sink; lines logged on that thread while
    // attach runs come back through write().
    virtual void attach(std::stringstream& pending) = 0;
    // Ends the current log file.
    virtual void close() = 0;
    // Appends one line, which already ends in a line feed.
    virtual void write(const std::string& line) = 0;
    // Archives the current file and opens a new one; the sink's own business.
    virtual void rotate() = 0;

    void disable();

    // The block of machine facts that begins every log file, ending with the
    // forced LogFileStarted record and a line feed. Asks every probe afresh;
    // the probes and the device id may log, and those lines come back into
    // write() on this thread. Throws what the probes or the record throw.
    std::string buildLogFileHeader() const;

    bool enabled;
    quint32 maxFileSize;
};

} // namespace Tellan
