#pragma once

#include "Logging/LogRecord.h"

#include <QObject>

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <sstream>
#include <string>

namespace Tellan {

class Logger;

// The process-wide log dispatcher: drops records below INFO unless forced,
// formats the rest on the logging thread and hands each line to the sink, or
// keeps it in the pending buffer until a sink is installed.
//
// log() may be called from any thread. setLogger, disableLogger and
// closeLogger are called from the main thread.
class Logging : public QObject {
public:
    // The statement object of one log site; emits its record when the
    // statement ends and never throws.
    class LogStream : private QObject {
    public:
        explicit LogStream(LogRecord record);
        ~LogStream() override;
        std::wostream& out() { return stream; }

    private:
        LogRecord record;

    public:
        std::wostringstream stream;
    };

    // Created on first use; never destroyed, so a pool thread that logs while
    // the process runs its exit-time destructors still finds it.
    static Logging& instance();

    // A dispatcher of its own, with no sink and an empty pending buffer; the
    // programs use instance() only. Destroying it deletes its sink.
    Logging();
    ~Logging() override;

    void log(const LogRecord& record);
    // Takes ownership; deletes a sink installed before, once no write to it
    // is under way.
    void setLogger(Logger* logger);
    void disableLogger();
    void closeLogger();

private:
    LogLevel minLevel;
    // The owning pointer, and the sink that log() may write to: the latter is
    // set only once attach() has taken the pending lines, so a line logged on
    // another thread during the hand-over waits for it and keeps its order.
    std::atomic<Logger*> sink;
    std::atomic<Logger*> ready;
    // Writes under way to `ready`: a replaced sink is deleted only once they
    // are done. A statement made on a thread that is inside a sink's write()
    // or attach() goes straight back to that sink (a file sink's rotation
    // logs while it writes), so such a write always ends.
    std::atomic<int> writing;
    std::stringstream pending;
    boost::mutex pendingMutex;
};

} // namespace Tellan
