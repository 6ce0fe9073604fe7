#include "Logging/LogRecord.h"

#include "UserName/UserName.h"
#include "Text/WideText.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/path.hpp>

#include <iomanip>
#include <sstream>

namespace Tellan {

namespace {

const wchar_t kApplicationTag[] = L"Helper";
const wchar_t kFieldSeparator[] = L" , ";
const wchar_t kKeyValueSeparator[] = L" = ";
const wchar_t kMessageLeadIn[] = L"Comment In Log:     ";
const wchar_t kUserNamePlaceholder[] = L"<user_name>";

// The six ASCII white-space characters; nothing else counts.
bool isSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

std::wstring& trim(std::wstring& text)
{
    std::size_t end = text.size();
    while (end > 0 && isSpace(text[end - 1]))
        --end;
    std::size_t begin = 0;
    while (begin < end && isSpace(text[begin]))
        ++begin;
    text = text.substr(begin, end - begin);
    return text;
}

void replaceAll(std::wstring& text, const std::wstring& from, const std::wstring& to)
{
    if (from.empty())
        return;
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::wstring::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

void appendTwoDigits(std::wstring& out, int value)
{
    out.push_back(static_cast<wchar_t>(L'0' + (value / 10) % 10));
    out.push_back(static_cast<wchar_t>(L'0' + value % 10));
}

// "%y%m%d:%H%M%S"
std::wstring formatTimestamp(const boost::posix_time::ptime& t)
{
    std::wstring out;
    if (t.is_special())
        return out;
    const auto date = t.date();
    const auto time = t.time_of_day();
    appendTwoDigits(out, static_cast<int>(date.year()) % 100);
    appendTwoDigits(out, static_cast<int>(date.month()));
    appendTwoDigits(out, static_cast<int>(date.day()));
    out.push_back(L':');
    appendTwoDigits(out, static_cast<int>(time.hours()));
    appendTwoDigits(out, static_cast<int>(time.minutes()));
    appendTwoDigits(out, static_cast<int>(time.seconds()));
    return out;
}

struct FieldPrinter : boost::static_visitor<void> {
    std::wostream& stream;
    explicit FieldPrinter(std::wostream& s) : stream(s) {}
    template <class T>
    void operator()(const T& value) const { stream << value; }
};

} // namespace

LogRecord::LogRecord(int forcedFlag)
    : forced(forcedFlag),
      line(0),
      // second_clock throws "could not convert calendar time to UTC time".
      timestamp(boost::posix_time::second_clock::universal_time()),
      level(Level::INFO)
{
}

LogRecord& LogRecord::setEvent(QString text)
{
    event = Text::toWide(text);
    return *this;
}

LogRecord& LogRecord::setComponent(QString text)
{
    component = Text::toWide(text);
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

LogRecord& LogRecord::addField(QString key, QVariant value)
{
    const std::wstring k = Text::toWide(key);
    const QByteArray type(value.typeName() ? value.typeName() : "");
    FieldValue v;
    if (type == "QString" || type == "QUrl")
        v = Text::toWide(value.toString());
    else if (type == "QByteArray")
        return addField(key, QString::fromLatin1(value.toByteArray().toHex()));
    else if (type == "int")
        v = value.toInt();
    else if (type == "double")
        v = value.toDouble();
    else if (type == "uint")
        v = value.toUInt();
    else if (type == "qulonglong")
        v = static_cast<quint64>(value.toULongLong());
    else if (type == "qlonglong")
        v = static_cast<qint64>(value.toLongLong());
    else if (type == "bool")
        v = value.toBool();
    else if (type == "float")
        v = value.toFloat();
    else
        return *this;
    fields.emplace(k, v);
    return *this;
}

LogRecord& LogRecord::addFields(std::initializer_list<std::pair<QString, QVariant>> list)
{
    for (const auto& f : list)
        addField(f.first, f.second);
    return *this;
}

std::string LogRecord::format() const
{
    const bool structured = level > 0 && !component.empty() && !event.empty();
    return Text::toLatin1Units(structured ? formatStructuredLine() : formatPlainLine());
}

std::wstring LogRecord::formatPlainLine() const
{
    std::wstring out = formatTimestamp(timestamp);
    out += L' ';
    out += levelLabel(level);
    out += L' ';
    if (!component.empty()) {
        out += L"in ";
        out += component;
    }
    if (line > 0) {
        out += L" line ";
        out += std::to_wstring(line);
    }
    const auto function = fields.find(L"function");
    if (function != fields.end()) {
        std::wostringstream value;
        printFieldValue(function->second, value);
        out += L", function ";
        out += value.str();
    }
    out += L" : ";
    out += message;
    trim(out);
    indentContinuationLines(out);
    return scrubUserName(std::move(out));
}

std::wstring LogRecord::formatStructuredLine() const
{
    std::wstring out = formatTimestamp(timestamp);
    out += L" Tellan";
    out += kApplicationTag;
    out += L" : ";
    out += levelLetter(level);
    out += L' ';
    out += component;
    out += L" : ";
    std::wstring name = event;
    out += normalizeName(name);
    out += L" : ";
    if (!fields.empty()) {
        out += formatFields(fields);
        out += L" : ";
    }
    if (line > 0) {
        out += L"line ";
        out += std::to_wstring(line);
        out += L", ";
    }
    if (!message.empty()) {
        std::wstring text = message;
        out += kMessageLeadIn;
        out += indentContinuationLines(trim(text));
    }
    return scrubUserName(std::move(out));
}

std::wstring LogRecord::levelLabel(LogLevel value)
{
    const wchar_t* word = L" INFO";
    switch (value) {
    case Level::TRACE: word = L" TRACE"; break;
    case Level::DEBUG: word = L" DEBUG"; break;
    case Level::WARNING: word = L" WARNING"; break;
    case Level::ERROR: word = L" ERROR"; break;
    default: break;
    }
    std::wstring label = std::wstring(kApplicationTag) + word;
    if (label.size() < 17)
        label.insert(0, 17 - label.size(), L' ');
    return label;
}

std::wstring LogRecord::levelLetter(LogLevel value)
{
    switch (value) {
    case Level::TRACE:
    case Level::DEBUG: return L"D";
    case Level::WARNING: return L"W";
    case Level::ERROR: return L"E";
    default: return L"I";
    }
}

std::wstring LogRecord::formatFields(Fields map)
{
    std::wstring out;
    for (const auto& field : map) {
        std::wostringstream value;
        value << std::boolalpha;
        printFieldValue(field.second, value);
        std::wstring text = value.str();
        out += field.first;
        out += kKeyValueSeparator;
        out += normalizeName(text);
        out += kFieldSeparator;
    }
    if (out.size() >= 3)
        out.erase(out.size() - 3);
    return out;
}

std::wstring& LogRecord::normalizeName(std::wstring& name)
{
    trim(name);
    std::wstring collapsed;
    collapsed.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (isSpace(name[i]) && i > 0 && isSpace(name[i - 1]))
            continue;
        collapsed.push_back(name[i]);
    }
    replaceAll(collapsed, L"::", L">");
    replaceAll(collapsed, L":", L"-");
    name.swap(collapsed);
    return name;
}

void LogRecord::printFieldValue(const FieldValue& value, std::wostream& stream)
{
    boost::apply_visitor(FieldPrinter(stream), value);
}

std::wstring& indentContinuationLines(std::wstring& text)
{
    replaceAll(text, L"\n", L"\n     ");
    return text;
}

std::wstring scrubUserName(std::wstring line)
{
    replaceAll(line, Text::toWide(Zorvik::SystemInfo::getUserName()), kUserNamePlaceholder);
    return line;
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
        if (!word.empty() && word != "const" && word != "volatile" && word != "noexcept" && word != "&"
            && word != "&&")
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

std::wostream& operator<<(std::wostream& stream, const QString& text)
{
    return stream << Tellan::Text::toWide(text);
}
