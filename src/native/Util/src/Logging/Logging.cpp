#include "Logging/Logging.h"

#include "Logger/Logger.h"
#include "Text/WideText.h"

#include <boost/thread/lock_guard.hpp>

namespace Tellan {

Logging::LogStream::LogStream(LogRecord r) : QObject(nullptr), record(std::move(r)) {}

Logging::LogStream::~LogStream()
{
    try {
        const std::wstring text = stream.str();
        if (!text.empty())
            record.setMessage(Text::fromWide(text));
        stream.flush();
        Logging::instance().log(record);
    } catch (...) {
        // A statement never fails its caller; the record is lost.
    }
}

Logging::Logging() : minLevel(Level::INFO), sink(nullptr), ready(nullptr), handOverThread(std::thread::id()) {}

Logging::~Logging() { delete sink.load(); }

Logging& Logging::instance()
{
    static Logging* const logging = new Logging();
    return *logging;
}

void Logging::log(const LogRecord& record)
{
    if (record.forced != 1 && record.level < minLevel)
        return;
    std::string line = record.format();
    line.push_back('\n');

    Logger* target = ready.load(std::memory_order_acquire);
    if (!target) {
        if (handOverThread.load() == std::this_thread::get_id()) {
            // The new sink's attach() logs (its file header): it is the sink.
            target = sink.load();
        } else {
            boost::lock_guard<boost::mutex> guard(pendingMutex);
            target = ready.load(std::memory_order_acquire);
            if (!target)
                pending << line;
        }
    }
    if (target)
        target->write(line);
}

void Logging::setLogger(Logger* logger)
{
    boost::lock_guard<boost::mutex> guard(pendingMutex);
    handOverThread.store(std::this_thread::get_id());
    ready.store(nullptr);
    Logger* previous = sink.exchange(logger);
    delete previous;
    try {
        logger->attach(pending);
        pending.flush();
    } catch (...) {
        ready.store(logger, std::memory_order_release);
        handOverThread.store(std::thread::id());
        throw;
    }
    ready.store(logger, std::memory_order_release);
    handOverThread.store(std::thread::id());
}

void Logging::disableLogger()
{
    if (Logger* s = sink.load())
        s->disable();
}

void Logging::closeLogger()
{
    if (Logger* s = sink.load())
        s->close();
}

} // namespace Tellan
