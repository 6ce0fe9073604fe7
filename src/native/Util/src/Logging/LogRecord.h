#pragma once

#include <QString>
#include <QVariant>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/variant.hpp>

#include <initializer_list>
#include <map>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>

class QByteArray;
class QUrl;

namespace Tellan {

// 0 TRACE, 1 DEBUG, 2 INFO, 3 WARNING, 4 ERROR; any other value is accepted
// and printed as INFO.
typedef int LogLevel;

namespace Level {
enum : int { TRACE = 0, DEBUG = 1, INFO = 2, WARNING = 3, ERROR = 4 };
}

// The value of one field: one of int, text, unsigned, 64-bit unsigned,
// 64-bit signed, long, float, bool or double.
typedef boost::variant<int, std::wstring, unsigned int, quint64, qint64, long, float, bool, double> LogFieldValue;

// One log statement's place in the source: the qualified name of its
// function, as the line shows it and as the structured layout normalises
// it, worked out once for the life of the process.
struct LogSite {
    explicit LogSite(const char* signature);
    std::wstring function;
    std::wstring normalizedFunction;
};

// One named field of a statement, converted to what the record stores.
// Narrow text is Latin-1, each byte the character of the same value, as all
// 8-bit text of the programs.
class LogField {
public:
    // A key written as a narrow string or as a QString.
    class Key {
    public:
        Key(const char* key);
        Key(const QString& key);
        std::wstring text;
    };

    LogField(Key key, int value);
    LogField(Key key, unsigned int value);
    LogField(Key key, qlonglong value);
    LogField(Key key, qulonglong value);
    LogField(Key key, bool value);
    LogField(Key key, double value);
    LogField(Key key, float value);
    LogField(Key key, const char* value);
    LogField(Key key, const QString& value);
    LogField(Key key, const QByteArray& value);
    LogField(Key key, const QUrl& value);
    // Any other value is taken as the QVariant it would make (a QVariant
    // itself, a short, an enum, a QChar, a QDate...) and stored by the
    // QVariant's type name; one of a type that the record does not take adds
    // nothing.
    template <class T, typename std::enable_if<!std::is_convertible<const T&, const char*>::value
                                                   && std::is_constructible<QVariant, const T&>::value,
                                               int>::type = 0>
    LogField(Key key, const T& value) : LogField(std::move(key), QVariant(value), ByTypeName())
    {
    }

private:
    friend class LogRecord;
    struct ByTypeName {};
    LogField(Key key, const QVariant& value, ByTypeName);

    // Moved out when the record takes the field (an initializer list only
    // hands out const elements).
    mutable std::wstring key_;
    mutable LogFieldValue value_;
    bool stored_;
};

// One structured log record, built on the logging thread's stack. Wide text
// holds UTF-16 units (see Text/WideText.h).
class LogRecord {
public:
    typedef LogFieldValue FieldValue;
    typedef std::map<std::wstring, FieldValue> Fields;

    // forced 1 passes the level filter; the time stamp is now, UTC, whole
    // seconds. Throws std::runtime_error when the clock cannot be converted.
    explicit LogRecord(int forced);

    LogRecord& setEvent(QString event);
    LogRecord& setEvent(const char* event);
    LogRecord& setComponent(QString component);
    LogRecord& setComponent(const char* component);
    LogRecord& setComponentFromSourcePath(QString path);
    LogRecord& setMessage(const QString& message);
    LogRecord& setLevel(int level);
    LogRecord& setLine(int line);
    // A key already present keeps its first value; unknown types add nothing.
    LogRecord& addField(QString key, QVariant value);
    template <class K, class V>
    LogRecord& addField(const K& key, const V& value)
    {
        return addField(LogField(key, value));
    }
    LogRecord& addField(const LogField& field);
    LogRecord& addFields(std::initializer_list<LogField> fields);
    // The field "function": the qualified name of the site's function,
    // unless the record has that field already.
    LogRecord& setFunction(const LogSite& site);

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
    // The field "function" of a statement, kept with its site rather than
    // copied into `fields` for every line; null when the record has none or
    // carries it in `fields`.
    const LogSite* site;

private:
    void appendPlainLine(std::wstring& out) const;
    void appendStructuredLine(std::wstring& out) const;
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
