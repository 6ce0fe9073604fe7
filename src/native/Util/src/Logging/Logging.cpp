#include "Logging/Logging.h"

#include "Logger/Logger.h"
#include "Logging/WideAppend.h"
#include "Text/WideText.h"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/locks.hpp>

#include <cstdint>
#include <locale>
#include <thread>

namespace Tellan {

namespace {

// Each byte of narrow text written into a statement becomes the wide
// character of the same value, as on Windows; the "C" locale would drop or
// mangle every byte above 0x7F.
class ByteWidening : public std::ctype<wchar_t> {
protected:
    wchar_t do_widen(char c) const override { return static_cast<unsigned char>(c); }
    const char* do_widen(const char* begin, const char* end, wchar_t* out) const override
    {
        for (; begin != end; ++begin, ++out)
            *out = static_cast<unsigned char>(*begin);
        return end;
    }
};

const std::locale& statementLocale()
{
    static const std::locale* const locale = new std::locale(std::locale::classic(), new ByteWidening());
    return *locale;
}

} // namespace

Logging::LogStream::LogStream(LogRecord r) : record(std::move(r)) {}

Logging::LogStream::~LogStream()
{
    try {
        if (wide)
            text = wide->str();
        // Wide text as UTF-16 units: a character above U+FFFF as its pair.
        for (const wchar_t c : text)
            if (static_cast<std::uint32_t>(c) > 0xFFFF) {
                text = Text::toWide(Text::fromWide(text));
                break;
            }
        if (!text.empty())
            record.message.swap(text);
        Logging::instance().log(record);
    } catch (...) {
        // A statement never fails its caller; the record is lost.
    }
}

std::wostream& Logging::LogStream::stream()
{
    if (!wide) {
        wide.reset(new std::wostringstream());
        wide->imbue(statementLocale());
        *wide << text;
        text.clear();
    }
    return *wide;
}

Logging::LogStream& Logging::LogStream::operator<<(const char* value)
{
    if (wide)
        *wide << value;
    else if (value) {
        WideAppend::bytes(text, value, value + std::char_traits<char>::length(value));
    } else
        stream() << value; // sets the stream's bad bit, as a null string does
    return *this;
}

Logging::LogStream& Logging::LogStream::operator<<(char c)
{
    if (wide)
        *wide << c;
    else
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return *this;
}

Logging::LogStream& Logging::LogStream::operator<<(const wchar_t* value)
{
    if (wide || !value)
        stream() << value;
    else
        text += value;
    return *this;
}

Logging::LogStream& Logging::LogStream::operator<<(const std::wstring& value)
{
    if (wide)
        *wide << value;
    else
        text += value;
    return *this;
}

Logging::LogStream& Logging::LogStream::operator<<(const QString& value)
{
    if (wide) {
        *wide << value;
    } else {
        text.reserve(text.size() + static_cast<std::size_t>(value.size()));
        for (const QChar c : value)
            text.push_back(static_cast<wchar_t>(c.unicode()));
    }
    return *this;
}

Logging::LogStream& Logging::LogStream::operator<<(bool value)
{
    if (wide)
        *wide << value;
    else
        text.push_back(value ? L'1' : L'0');
    return *this;
}

#define TELLAN_LOG_STREAM_NUMBER_(Type, append)                                                                        \
    Logging::LogStream& Logging::LogStream::operator<<(Type value)                                                     \
    {                                                                                                                  \
        if (wide)                                                                                                      \
            *wide << value;                                                                                            \
        else                                                                                                           \
            append(text, value);                                                                                       \
        return *this;                                                                                                  \
    }
TELLAN_LOG_STREAM_NUMBER_(int, WideAppend::integer)
TELLAN_LOG_STREAM_NUMBER_(unsigned int, WideAppend::integer)
TELLAN_LOG_STREAM_NUMBER_(long, WideAppend::integer)
TELLAN_LOG_STREAM_NUMBER_(unsigned long, WideAppend::integer)
TELLAN_LOG_STREAM_NUMBER_(long long, WideAppend::integer)
TELLAN_LOG_STREAM_NUMBER_(unsigned long long, WideAppend::integer)
TELLAN_LOG_STREAM_NUMBER_(double, WideAppend::floating)
TELLAN_LOG_STREAM_NUMBER_(float, WideAppend::floating)
#undef TELLAN_LOG_STREAM_NUMBER_

namespace {

// The sink, and its dispatcher, whose write() or attach() the calling thread
// is inside.
struct InsideSink {
    const Logging* dispatcher;
    Logger* sink;
};
thread_local InsideSink insideSink = {nullptr, nullptr};

class EnterSink {
public:
    EnterSink(const Logging* dispatcher, Logger* sink) : saved_(insideSink) { insideSink = {dispatcher, sink}; }
    ~EnterSink() { insideSink = saved_; }
    EnterSink(const EnterSink&) = delete;
    EnterSink& operator=(const EnterSink&) = delete;

private:
    InsideSink saved_;
};

// The innermost Holding of this thread.
thread_local Logging::Holding* holding = nullptr;

} // namespace

Logging::Holding::Holding(Logging& d) : dispatcher(d), outer(holding) { holding = this; }

Logging::Holding::~Holding()
{
    holding = outer;
    try {
        // An enclosing hold of the same dispatcher takes them over.
        for (Holding* held = outer; held; held = held->outer)
            if (&held->dispatcher == &dispatcher) {
                for (std::string& line : lines)
                    held->lines.push_back(std::move(line));
                return;
            }
        for (const std::string& line : lines)
            dispatcher.deliver(line);
    } catch (...) {
        // Like a statement, never fails its caller; the rest is lost.
    }
}

Logging::Logging() : minLevel(Level::INFO), sink(nullptr), ready(nullptr), writing(0) {}

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
    for (Holding* held = holding; held; held = held->outer)
        if (&held->dispatcher == this) {
            held->lines.push_back(std::move(line));
            return;
        }
    deliver(line);
}

void Logging::deliver(const std::string& line)
{
    if (insideSink.dispatcher == this) {
        // Logged from inside a sink's write() or attach(): that sink takes it,
        // before the line that caused it is done. Waiting for the hand-over
        // here would wait for ourselves.
        insideSink.sink->write(line);
        return;
    }
    for (;;) {
        writing.fetch_add(1);
        if (Logger* target = ready.load()) {
            struct Done {
                std::atomic<int>& count;
                ~Done() { count.fetch_sub(1); }
            } done{writing};
            EnterSink inside(this, target);
            target->write(line);
            return;
        }
        writing.fetch_sub(1);

        boost::unique_lock<boost::mutex> guard(pendingMutex);
        if (!ready.load()) {
            pending << line;
            return;
        }
        // The hand-over finished meanwhile: write to the new sink.
    }
}

void Logging::setLogger(Logger* logger)
{
    boost::lock_guard<boost::mutex> guard(pendingMutex);
    ready.store(nullptr);
    // A thread that found the old sink may still be inside its write(); any
    // line it logs there goes to that sink, so the wait ends.
    if (sink.load())
        while (writing.load() != 0)
            std::this_thread::yield();
    Logger* previous = sink.exchange(logger);
    delete previous;
    struct Ready {
        std::atomic<Logger*>& ready;
        Logger* logger;
        ~Ready() { ready.store(logger); }
    } makeReady{ready, logger};
    EnterSink inside(this, logger);
    logger->attach(pending);
    pending.flush();
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
