#pragma once

#include "Logging/LogRecord.h"

#include <QObject>

#include <boost/thread/mutex.hpp>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

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
    // The statement object of one log site: takes the message text with <<
    // as a wide output stream would (narrow text byte by byte, wide text,
    // QString, numbers in the stream's default form) and emits its record
    // when the statement ends; never throws. Text and numbers are appended
    // directly; anything else (a manipulator, a type with its own
    // operator<<) moves the statement onto a real wide stream.
    class LogStream {
    public:
        explicit LogStream(LogRecord record);
        ~LogStream();
        LogStream(const LogStream&) = delete;
        LogStream& operator=(const LogStream&) = delete;
        LogStream& out() { return *this; }

        LogStream& operator<<(const char* text);
        LogStream& operator<<(char* text) { return *this << static_cast<const char*>(text); }
        LogStream& operator<<(char c);
        LogStream& operator<<(const wchar_t* text);
        LogStream& operator<<(const std::wstring& text);
        LogStream& operator<<(const QString& text);
        LogStream& operator<<(bool value);
        LogStream& operator<<(int value);
        LogStream& operator<<(unsigned int value);
        LogStream& operator<<(long value);
        LogStream& operator<<(unsigned long value);
        LogStream& operator<<(long long value);
        LogStream& operator<<(unsigned long long value);
        LogStream& operator<<(double value);
        LogStream& operator<<(float value);
        LogStream& operator<<(std::wostream& (*manipulator)(std::wostream&))
        {
            stream() << manipulator;
            return *this;
        }
        LogStream& operator<<(std::ios_base& (*manipulator)(std::ios_base&))
        {
            stream() << manipulator;
            return *this;
        }
        template <class T>
        LogStream& operator<<(const T& value)
        {
            stream() << value;
            return *this;
        }

    private:
        // The wide stream, made on first need with the text so far in it;
        // from then on every part goes through it, so that its flags apply.
        std::wostream& stream();

        LogRecord record;
        std::wstring text;
        std::unique_ptr<std::wostringstream> wide;
    };

    // Turns a whole statement into a void expression, so that the log-site
    // construct can test the level first.
    struct Voidify {
        void operator&(const LogStream&) const {}
    };

    // While it lives, the records this thread logs to the dispatcher wait,
    // and go out in their order when it goes. For code that must not log
    // while it holds a lock: a sink that builds a header under its own lock
    // may come for that lock, and a record would wait for the sink forever.
    class Holding {
    public:
        explicit Holding(Logging& dispatcher = instance());
        ~Holding();
        Holding(const Holding&) = delete;
        Holding& operator=(const Holding&) = delete;

    private:
        friend class Logging;
        Logging& dispatcher;
        Holding* outer;
        std::vector<std::string> lines;
    };

    // Whether a statement of this level is written; a statement tests it
    // before it builds anything.
    static bool accepts(LogLevel level) { return level >= instance().minLevel; }

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
    // Hands a formatted line to the sink, or keeps it pending.
    void deliver(const std::string& line);

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
