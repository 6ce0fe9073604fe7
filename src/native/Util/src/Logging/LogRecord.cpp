#include "Logging/LogRecord.h"

#include "Logging/WideAppend.h"
#include "Text/WideText.h"
#include "UserName/UserName.h"

#include <QByteArray>
#include <QUrl>

#include <boost/date_time/gregorian/gregorian_types.hpp>
#include <boost/filesystem/path.hpp>

#include <algorithm>
#include <ctime>
#include <stdexcept>
#include <string_view>

namespace Tellan {

// Lines are built by appending to one wide string and turned into 8-bit text
// in one pass that also hides the user name: no stream, and no conversion
// through QString, on the way.

namespace {

const wchar_t kLinePrefix[] = L" TellanHelper : ";
const wchar_t kFieldSeparator[] = L" , ";
const wchar_t kKeyValueSeparator[] = L" = ";
const wchar_t kMessageLeadIn[] = L"Comment In Log:     ";
const wchar_t kContinuationIndent[] = L"     ";
const wchar_t kUserNamePlaceholder[] = L"<user_name>";
constexpr std::size_t placeholderLength = sizeof kUserNamePlaceholder / sizeof kUserNamePlaceholder[0] - 1;
const wchar_t kFunctionKey[] = L"function";
// The same as a key of the field map, so that looking it up builds nothing.
const std::wstring& functionKey()
{
    static const std::wstring* const key = new std::wstring(kFunctionKey);
    return *key;
}

// A constant's text without measuring it again.
template <std::size_t N>
void appendLiteral(std::wstring& out, const wchar_t (&text)[N])
{
    out.append(text, N - 1);
}

// The six ASCII white-space characters; nothing else counts.
bool isSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r'; }

// Each byte the character of the same value.
std::wstring latin1(const char* text)
{
    if (!text)
        return std::wstring();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    return std::wstring(bytes, bytes + std::char_traits<char>::length(text));
}

// Prints a value as a wide stream with default flags does (boolalpha set or
// not).
struct FieldAppender : boost::static_visitor<void> {
    std::wstring& out;
    bool boolAlpha;
    FieldAppender(std::wstring& o, bool alpha) : out(o), boolAlpha(alpha) {}
    void operator()(int v) const { WideAppend::integer(out, v); }
    void operator()(unsigned int v) const { WideAppend::integer(out, v); }
    void operator()(quint64 v) const { WideAppend::integer(out, v); }
    void operator()(qint64 v) const { WideAppend::integer(out, v); }
    void operator()(long v) const { WideAppend::integer(out, v); }
    void operator()(float v) const { WideAppend::floating(out, v); }
    void operator()(double v) const { WideAppend::floating(out, v); }
    void operator()(bool v) const
    {
        if (boolAlpha)
            out += v ? L"true" : L"false";
        else
            out.push_back(v ? L'1' : L'0');
    }
    void operator()(const std::wstring& v) const { out += v; }
};

void appendFieldValue(std::wstring& out, const LogFieldValue& value, bool boolAlpha)
{
    boost::apply_visitor(FieldAppender(out, boolAlpha), value);
}

void appendTwoDigits(std::wstring& out, int value)
{
    out.push_back(static_cast<wchar_t>(L'0' + (value / 10) % 10));
    out.push_back(static_cast<wchar_t>(L'0' + value % 10));
}

// "%y%m%d:%H%M%S"; the text of the last second is kept per thread.
void appendTimestamp(std::wstring& out, const boost::posix_time::ptime& t)
{
    if (t.is_special())
        return;
    constexpr std::size_t length = 13;
    thread_local boost::posix_time::ptime cachedTime;
    thread_local wchar_t cachedText[length];
    if (t != cachedTime) {
        std::wstring text;
        const auto ymd = t.date().year_month_day();
        const auto time = t.time_of_day();
        appendTwoDigits(text, static_cast<int>(ymd.year) % 100);
        appendTwoDigits(text, static_cast<int>(ymd.month));
        appendTwoDigits(text, static_cast<int>(ymd.day));
        text.push_back(L':');
        appendTwoDigits(text, static_cast<int>(time.hours()));
        appendTwoDigits(text, static_cast<int>(time.minutes()));
        appendTwoDigits(text, static_cast<int>(time.seconds()));
        text.copy(cachedText, length);
        cachedTime = t;
    }
    out.append(cachedText, length);
}

// The text from `from` to the end of out, trimmed in place.
void trimTail(std::wstring& out, std::size_t from)
{
    std::size_t end = out.size();
    while (end > from && isSpace(out[end - 1]))
        --end;
    std::size_t begin = from;
    while (begin < end && isSpace(out[begin]))
        ++begin;
    out.erase(end);
    out.erase(from, begin - from);
}

// normalizeName of the text from `from` to the end of out, in place: trimmed,
// each white-space run cut to its first character, "::" to ">", ":" to "-".
void normalizeTail(std::wstring& out, std::size_t from)
{
    trimTail(out, from);
    const std::size_t end = out.size();
    std::size_t write = from;
    bool previousSpace = false;
    for (std::size_t read = from; read < end; ++read) {
        const wchar_t c = out[read];
        if (isSpace(c)) {
            if (!previousSpace)
                out[write++] = c;
            previousSpace = true;
            continue;
        }
        previousSpace = false;
        if (c != L':') {
            out[write++] = c;
        } else if (read + 1 < end && out[read + 1] == L':') {
            out[write++] = L'>';
            ++read;
        } else {
            out[write++] = L'-';
        }
    }
    out.erase(write);
}

// indentContinuationLines of the text from `from` to the end of out.
void indentTail(std::wstring& out, std::size_t from)
{
    std::size_t feed = out.find(L'\n', from);
    if (feed == std::wstring::npos)
        return;
    std::wstring tail;
    tail.reserve(out.size() - from + 64);
    std::size_t copied = from;
    for (; feed != std::wstring::npos; feed = out.find(L'\n', feed + 1)) {
        tail.append(out, copied, feed + 1 - copied);
        appendLiteral(tail, kContinuationIndent);
        copied = feed + 1;
    }
    tail.append(out, copied, std::wstring::npos);
    out.erase(from);
    out += tail;
}

// One byte per UTF-16 unit: Latin-1, or "?" above U+00FF.
char* toLatin1Units(const wchar_t* begin, const wchar_t* end, char* out)
{
    for (; begin != end; ++begin, ++out) {
        const auto c = static_cast<std::uint32_t>(*begin);
        *out = c <= 0xFF ? static_cast<char>(c) : '?';
    }
    return out;
}

// The one user-name scrub: hands `line` to `text(begin, end)` piece by piece,
// each occurrence of the current user name, left to right and without
// overlapping, as the placeholder instead. An empty or unreadable name
// replaces nothing.
template <class Text>
void forEachScrubbedPiece(const std::wstring& line, Text text)
{
    char16_t units[Zorvik::SystemInfo::userNameCapacity];
    const std::size_t nameLength = Zorvik::SystemInfo::getUserName(units);
    wchar_t name[Zorvik::SystemInfo::userNameCapacity];
    std::copy(units, units + nameLength, name);
    const std::wstring_view user(name, nameLength);
    const wchar_t* const begin = line.data();
    std::size_t from = 0;
    while (nameLength > 0) {
        const std::size_t found = std::wstring_view(line).find(user, from);
        if (found == std::wstring_view::npos)
            break;
        text(begin + from, begin + found);
        text(kUserNamePlaceholder, kUserNamePlaceholder + placeholderLength);
        from = found + nameLength;
    }
    text(begin + from, begin + line.size());
}

// The wide line as 8-bit text, the user name hidden.
void appendScrubbedLatin1(std::string& out, const std::wstring& line)
{
    // Room for the line and its line end; where the user name is shorter
    // than its placeholder, the resize of each piece grows it further.
    out.reserve(out.size() + line.size() + 1);
    forEachScrubbedPiece(line, [&out](const wchar_t* begin, const wchar_t* end) {
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(end - begin));
        toLatin1Units(begin, end, &out[at]);
    });
}

void appendLevelLabel(std::wstring& out, LogLevel value)
{
    // "Helper" and the level word, right-aligned in 17 characters.
    switch (value) {
    case Level::TRACE: appendLiteral(out, L"     Helper TRACE"); break;
    case Level::DEBUG: appendLiteral(out, L"     Helper DEBUG"); break;
    case Level::WARNING: appendLiteral(out, L"   Helper WARNING"); break;
    case Level::ERROR: appendLiteral(out, L"     Helper ERROR"); break;
    default: appendLiteral(out, L"      Helper INFO"); break;
    }
}

const wchar_t* levelLetterText(LogLevel value)
{
    switch (value) {
    case Level::TRACE:
    case Level::DEBUG: return L"D";
    case Level::WARNING: return L"W";
    case Level::ERROR: return L"E";
    default: return L"I";
    }
}

void appendField(std::wstring& out, const std::wstring& key, const LogFieldValue& value)
{
    out += key;
    appendLiteral(out, kKeyValueSeparator);
    const std::size_t at = out.size();
    appendFieldValue(out, value, true);
    normalizeTail(out, at);
    appendLiteral(out, kFieldSeparator);
}

// "key = value" for each field in key order, joined by " , "; the site's
// function, already normalised, takes its place among them.
void appendFields(std::wstring& out, const LogRecord::Fields& fields, const LogSite* site)
{
    const std::size_t start = out.size();
    bool functionDue = site != nullptr;
    for (const auto& field : fields) {
        if (functionDue && field.first.compare(kFunctionKey) > 0) {
            appendLiteral(out, kFunctionKey);
            appendLiteral(out, kKeyValueSeparator);
            out += site->normalizedFunction;
            appendLiteral(out, kFieldSeparator);
            functionDue = false;
        }
        appendField(out, field.first, field.second);
    }
    if (functionDue) {
        appendLiteral(out, kFunctionKey);
        appendLiteral(out, kKeyValueSeparator);
        out += site->normalizedFunction;
        appendLiteral(out, kFieldSeparator);
    }
    if (out.size() - start >= 3)
        out.erase(out.size() - 3);
}

// The record's time: now in UTC to the second. The calendar conversion is
// made once per second and thread.
boost::posix_time::ptime utcNowToTheSecond()
{
    thread_local std::time_t cachedSecond = -1;
    thread_local boost::posix_time::ptime cachedTime;
    const std::time_t now = std::time(nullptr);
    if (now == cachedSecond && now != -1)
        return cachedTime;
    std::tm fields{};
    if (!::gmtime_r(&now, &fields))
        throw std::runtime_error("could not convert calendar time to UTC time");
    const boost::posix_time::ptime time(boost::gregorian::date(static_cast<unsigned short>(fields.tm_year + 1900),
                                                               static_cast<unsigned short>(fields.tm_mon + 1),
                                                               static_cast<unsigned short>(fields.tm_mday)),
                                        boost::posix_time::time_duration(fields.tm_hour, fields.tm_min, fields.tm_sec));
    cachedSecond = now;
    cachedTime = time;
    return time;
}

} // namespace

LogSite::LogSite(const char* signature) : function(Text::toWide(qualifiedFunctionName(signature)))
{
    normalizedFunction = function;
    normalizeTail(normalizedFunction, 0);
}

LogField::Key::Key(const char* key) : text(latin1(key)) {}

LogField::Key::Key(const QString& key) : text(Text::toWide(key)) {}

LogField::LogField(Key key, int value) : key_(std::move(key.text)), value_(value), stored_(true) {}
LogField::LogField(Key key, unsigned int value) : key_(std::move(key.text)), value_(value), stored_(true) {}
LogField::LogField(Key key, qlonglong value) : key_(std::move(key.text)), value_(qint64(value)), stored_(true) {}
LogField::LogField(Key key, qulonglong value) : key_(std::move(key.text)), value_(quint64(value)), stored_(true) {}
LogField::LogField(Key key, bool value) : key_(std::move(key.text)), value_(value), stored_(true) {}
LogField::LogField(Key key, double value) : key_(std::move(key.text)), value_(value), stored_(true) {}
LogField::LogField(Key key, float value) : key_(std::move(key.text)), value_(value), stored_(true) {}
LogField::LogField(Key key, const char* value) : key_(std::move(key.text)), value_(latin1(value)), stored_(true) {}
LogField::LogField(Key key, const QString& value)
    : key_(std::move(key.text)), value_(Text::toWide(value)), stored_(true)
{
}
LogField::LogField(Key key, const QByteArray& value)
    : key_(std::move(key.text)), value_(latin1(value.toHex().constData())), stored_(true)
{
}
LogField::LogField(Key key, const QUrl& value)
    : key_(std::move(key.text)), value_(Text::toWide(value.toString())), stored_(true)
{
}

LogField::LogField(Key key, const QVariant& value, ByTypeName) : key_(std::move(key.text)), stored_(true)
{
    // By the value's type name, in this order.
    const char* const typeName = value.typeName();
    const QByteArray type(typeName ? typeName : "");
    if (type == "QString" || type == "QUrl")
        value_ = Text::toWide(value.toString());
    else if (type == "QByteArray")
        value_ = latin1(value.toByteArray().toHex().constData());
    else if (type == "int")
        value_ = value.toInt();
    else if (type == "double")
        value_ = value.toDouble();
    else if (type == "uint")
        value_ = value.toUInt();
    else if (type == "qulonglong")
        value_ = static_cast<quint64>(value.toULongLong());
    else if (type == "qlonglong")
        value_ = static_cast<qint64>(value.toLongLong());
    else if (type == "bool")
        value_ = value.toBool();
    else if (type == "float")
        value_ = value.toFloat();
    else
        stored_ = false;
}

LogRecord::LogRecord(int forcedFlag)
    : forced(forcedFlag), line(0), timestamp(utcNowToTheSecond()), level(Level::INFO), site(nullptr)
{
}

LogRecord& LogRecord::setEvent(QString text)
{
    event = Text::toWide(text);
    return *this;
}

LogRecord& LogRecord::setEvent(const char* text)
{
    event = latin1(text);
    return *this;
}

LogRecord& LogRecord::setComponent(QString text)
{
    component = Text::toWide(text);
    return *this;
}

LogRecord& LogRecord::setComponent(const char* text)
{
    component = latin1(text);
    return *this;
}

LogRecord& LogRecord::setComponentFromSourcePath(QString path)
{
    // Both separators count, whatever the platform.
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    boost::filesystem::path p = boost::filesystem::path(path.toStdString()).stem();
    while (p.has_extension())
        p = p.stem();
    component = Text::toWide(QString::fromStdString(p.string()));
    return *this;
}

LogRecord& LogRecord::setMessage(const QString& text)
{
    message = Text::toWide(text);
    return *this;
}

LogRecord& LogRecord::setLevel(int value)
{
    level = value;
    return *this;
}

LogRecord& LogRecord::setLine(int value)
{
    line = value;
    return *this;
}

LogRecord& LogRecord::addField(QString key, QVariant value) { return addField(LogField(key, value)); }

LogRecord& LogRecord::addField(const LogField& field)
{
    if (!field.stored_)
        return *this;
    // The site's function counts as the field "function" already present.
    if (site && field.key_ == kFunctionKey)
        return *this;
    fields.emplace(std::move(field.key_), std::move(field.value_));
    return *this;
}

LogRecord& LogRecord::addFields(std::initializer_list<LogField> list)
{
    for (const LogField& f : list)
        addField(f);
    return *this;
}

LogRecord& LogRecord::setFunction(const LogSite& functionSite)
{
    if (!site && fields.find(functionKey()) == fields.end())
        site = &functionSite;
    return *this;
}

std::string LogRecord::format() const
{
    std::wstring wide;
    wide.reserve(256);
    if (level > 0 && !component.empty() && !event.empty())
        appendStructuredLine(wide);
    else
        appendPlainLine(wide);
    std::string out;
    appendScrubbedLatin1(out, wide);
    return out;
}

std::wstring LogRecord::formatPlainLine() const
{
    std::wstring out;
    appendPlainLine(out);
    return scrubUserName(std::move(out));
}

std::wstring LogRecord::formatStructuredLine() const
{
    std::wstring out;
    appendStructuredLine(out);
    return scrubUserName(std::move(out));
}

// The plain layout before the user name is hidden.
void LogRecord::appendPlainLine(std::wstring& out) const
{
    const std::size_t start = out.size();
    appendTimestamp(out, timestamp);
    out += L' ';
    appendLevelLabel(out, level);
    out += L' ';
    if (!component.empty()) {
        appendLiteral(out, L"in ");
        out += component;
    }
    if (line > 0) {
        appendLiteral(out, L" line ");
        WideAppend::integer(out, line);
    }
    const auto function = fields.find(functionKey());
    if (function != fields.end()) {
        appendLiteral(out, L", function ");
        appendFieldValue(out, function->second, false);
    } else if (site) {
        appendLiteral(out, L", function ");
        out += site->function;
    }
    appendLiteral(out, L" : ");
    out += message;
    trimTail(out, start);
    indentTail(out, start);
}

// The structured layout before the user name is hidden.
void LogRecord::appendStructuredLine(std::wstring& out) const
{
    appendTimestamp(out, timestamp);
    appendLiteral(out, kLinePrefix);
    out += levelLetterText(level);
    out += L' ';
    out += component;
    appendLiteral(out, L" : ");
    const std::size_t eventAt = out.size();
    out += event;
    normalizeTail(out, eventAt);
    appendLiteral(out, L" : ");
    if (!fields.empty() || site) {
        appendFields(out, fields, site);
        appendLiteral(out, L" : ");
    }
    if (line > 0) {
        appendLiteral(out, L"line ");
        WideAppend::integer(out, line);
        appendLiteral(out, L", ");
    }
    if (!message.empty()) {
        appendLiteral(out, kMessageLeadIn);
        const std::size_t messageAt = out.size();
        out += message;
        trimTail(out, messageAt);
        indentTail(out, messageAt);
    }
}

std::wstring LogRecord::levelLabel(LogLevel value)
{
    std::wstring label;
    appendLevelLabel(label, value);
    return label;
}

std::wstring LogRecord::levelLetter(LogLevel value) { return levelLetterText(value); }

std::wstring LogRecord::formatFields(Fields map)
{
    std::wstring out;
    appendFields(out, map, nullptr);
    return out;
}

std::wstring& LogRecord::normalizeName(std::wstring& name)
{
    normalizeTail(name, 0);
    return name;
}

namespace {
struct FieldPrinter : boost::static_visitor<void> {
    std::wostream& stream;
    explicit FieldPrinter(std::wostream& s) : stream(s) {}
    template <class T>
    void operator()(const T& value) const
    {
        stream << value;
    }
};
} // namespace

void LogRecord::printFieldValue(const FieldValue& value, std::wostream& stream)
{
    boost::apply_visitor(FieldPrinter(stream), value);
}

std::wstring& indentContinuationLines(std::wstring& text)
{
    indentTail(text, 0);
    return text;
}

std::wstring scrubUserName(std::wstring line)
{
    std::wstring out;
    out.reserve(line.size());
    forEachScrubbedPiece(line, [&out](const wchar_t* begin, const wchar_t* end) { out.append(begin, end); });
    return out;
}

namespace {

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

QString qualifiedFunctionName(const char* signature)
{
    std::string text(signature ? signature : "");

    // "T f() [with T = int]"
    const std::size_t with = text.find(" [with ");
    if (with != std::string::npos)
        text.erase(with);
    for (const char* anonymous : {"{anonymous}", "(anonymous namespace)"}) {
        std::size_t pos;
        while ((pos = text.find(anonymous)) != std::string::npos)
            text.replace(pos, std::string(anonymous).size(), "`anonymous-namespace'");
    }

    // Drop every parameter list (a lambda's too), but keep operator().
    std::string bare;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '(') {
            if (endsWith(bare, "operator") && i + 1 < text.size() && text[i + 1] == ')') {
                bare += "()";
                ++i;
                continue;
            }
            int depth = 0;
            for (; i < text.size(); ++i) {
                if (text[i] == '(')
                    ++depth;
                else if (text[i] == ')' && --depth == 0)
                    break;
            }
            continue;
        }
        bare.push_back(text[i]);
    }

    // The name is the last word outside template brackets that is not a
    // qualifier; what stands before it is the return type.
    std::string name;
    std::string word;
    int angle = 0;
    auto finishWord = [&]() {
        if (!word.empty() && word != "const" && word != "volatile" && word != "noexcept" && word != "&" && word != "&&")
            name = word;
        word.clear();
    };
    for (const char c : bare) {
        if (c == '<')
            ++angle;
        else if (c == '>' && angle > 0)
            --angle;
        if (c == ' ' && angle == 0)
            finishWord();
        else
            word.push_back(c);
    }
    finishWord();
    return QString::fromLatin1(name.c_str());
}

} // namespace Tellan

std::wostream& operator<<(std::wostream& stream, const QString& text) { return stream << Tellan::Text::toWide(text); }
