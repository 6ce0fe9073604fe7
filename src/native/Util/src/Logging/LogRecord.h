#pragma once

#include <QString>
#include <QVariant>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/variant.hpp>

#include <initializer_list>
#include <map>
#include <ostream>
#include <string>
#include <utility>

namespace Tellan {

// 0 TRACE, 1 DEBUG, 2 INFO, 3 WARNING, 4 ERROR; any other value is accepted
// and printed as INFO.
typedef int LogLevel;

namespace Level {
enum : int { TRACE = 0, DEBUG = 1, INFO = 2, WARNING = 3, ERROR = 4 };
}

// One structured log record, built on the logging thread's stack. Wide text
// holds UTF-16 units (see Text/WideText.h).
class LogRecord {
public:
    typedef boost::variant<int, std::wstring, unsigned int, quint64, qint64, long, float, bool, double>
        FieldValue;
    typedef std::map<std::wstring, FieldValue> Fields;

    // forced 1 passes the level filter; the time stamp is now, UTC, whole
    // seconds. Throws std::runtime_error when the clock cannot be converted.
    explicit LogRecord(int forced);

    LogRecord& setEvent(QString event);
    LogRecord& setComponent(QString component);
    LogRecord& setComponentFromSourcePath(QString path);
    LogRecord& setMessage(const QString& message);
    LogRecord& setLevel(int level);
    LogRecord& setLine(int line);
    // A key already present keeps its first value; unknown types add nothing.
    LogRecord& addField(QString key, QVariant value);
    LogRecord& addFields(std::initializer_list<std::pair<QString, QVariant>> fields);

    // The record as one 8-bit line without line end.
    std::string format() const;
    std::wstring formatPlainLine() const;
    std::wstring formatStructuredLine() const;

    static std::wstring levelLabel(LogLevel level);
    static std::wstring levelLetter(LogLevel level);
    static std::wstring formatFields(Fields fields);
    static std::wstring& normalizeName(std::wstring& name);
    static void printFieldValue(const FieldValue& value, std::wostream& stream);

    int forced;
    int line;
    std::wstring event;
    std::wstring component;
    std::wstring message;
    Fields fields;
    boost::posix_time::ptime timestamp;
    LogLevel level;
};

// Every line feed followed by five spaces.
std::wstring& indentContinuationLines(std::wstring& text);

// Every occurrence of the current user name replaced by "<user_name>".
std::wstring scrubUserName(std::wstring line);

// The qualified name of a function from the compiler's signature text:
// "void Tellan::HelperApp::shutdown()" gives "Tellan::HelperApp::shutdown";
// an anonymous namespace reads "`anonymous-namespace'".
QString qualifiedFunctionName(const char* signature);

} // namespace Tellan

// Writes the UTF-16 units of text. Global, beside QString, so that every log
// site finds it.
std::wostream& operator<<(std::wostream& stream, const QString& text);
