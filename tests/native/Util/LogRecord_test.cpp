#include "Logging/LogRecord.h"
#include "Logging/Log.h"
#include "Printers.h"
#include "RecordingSink.h"
#include "Text/WideText.h"

#include <QDate>
#include <QUrl>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <iomanip>
#include <sstream>

using Tellan::LogRecord;

namespace {

std::wstring printed(const LogRecord& r, const std::wstring& key)
{
    std::wostringstream s;
    LogRecord::printFieldValue(r.fields.at(key), s);
    return s.str();
}

} // namespace

TEST(LogRecord, NewRecordIsInfoAtTheCurrentWholeSecond)
{
    const auto before = boost::posix_time::second_clock::universal_time();
    LogRecord r(0);
    const auto after = boost::posix_time::second_clock::universal_time();
    EXPECT_EQ(r.level, Tellan::Level::INFO);
    EXPECT_EQ(r.line, 0);
    EXPECT_EQ(r.forced, 0);
    EXPECT_TRUE(r.fields.empty());
    EXPECT_TRUE(r.event.empty() && r.component.empty() && r.message.empty());
    EXPECT_EQ(r.timestamp.time_of_day().fractional_seconds(), 0);
    EXPECT_LE(before, r.timestamp);
    EXPECT_LE(r.timestamp, after);
}

TEST(LogRecord, AddFieldStoresByTypeNameAndNeverReplaces)
{
    LogRecord r(0);
    r.addField("n", 5).addField("n", 7);
    r.addField("bytes", QByteArray("\x0a\xff", 2));
    r.addField("date", QDate(2020, 1, 1));
    r.addField("signed", qlonglong(-5));
    r.addField("url", QUrl("https://example.test/a b"));
    r.addField("u", 3u).addField("big", qulonglong(1) << 33).addField("flag", false);
    r.addField("f", 1.25f).addField("d", 2.5);

    EXPECT_EQ(boost::get<int>(r.fields.at(L"n")), 5);
    EXPECT_EQ(boost::get<std::wstring>(r.fields.at(L"bytes")), L"0aff");
    EXPECT_EQ(r.fields.count(L"date"), 0u);
    EXPECT_EQ(boost::get<qint64>(r.fields.at(L"signed")), -5);
    EXPECT_EQ(printed(r, L"signed"), L"-5");
    EXPECT_EQ(boost::get<std::wstring>(r.fields.at(L"url")), L"https://example.test/a b");
    EXPECT_EQ(boost::get<unsigned>(r.fields.at(L"u")), 3u);
    EXPECT_EQ(boost::get<quint64>(r.fields.at(L"big")), quint64(1) << 33);
    EXPECT_EQ(printed(r, L"flag"), L"0");
    EXPECT_EQ(boost::get<float>(r.fields.at(L"f")), 1.25f);
    EXPECT_EQ(boost::get<double>(r.fields.at(L"d")), 2.5);
}

// Other types are taken as the QVariant they make, as a QVariant argument
// took them.
TEST(LogRecord, OtherValueTypesAreStoredAsTheirQVariant)
{
    enum Code { Two = 2 };
    LogRecord r(0);
    r.addField("short", short(-2)).addField("enum", Two).addField("char", QChar('x'));
    r.addField("latin1", QLatin1String("caf\xE9")).addField("variant", QVariant(5u));
    r.addField(QStringLiteral("qstringKey"), "caf\xE9");
    EXPECT_EQ(boost::get<int>(r.fields.at(L"short")), -2);
    EXPECT_EQ(boost::get<int>(r.fields.at(L"enum")), 2);
    EXPECT_EQ(r.fields.count(L"char"), 0u);
    EXPECT_EQ(boost::get<std::wstring>(r.fields.at(L"latin1")), L"caf\u00E9");
    EXPECT_EQ(boost::get<unsigned>(r.fields.at(L"variant")), 5u);
    EXPECT_EQ(boost::get<std::wstring>(r.fields.at(L"qstringKey")), L"caf\u00E9");
}

TEST(LogRecord, FieldsAreOrderedByUtf16Units)
{
    LogRecord r(0);
    r.addField("zeta", 1).addField("Alpha", 2).addField("function", 3);
    std::vector<std::wstring> keys;
    for (const auto& f : r.fields)
        keys.push_back(f.first);
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"Alpha", L"function", L"zeta"}));
}

TEST(LogRecord, ComponentFromSourcePathDropsEveryExtension)
{
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\src\\native\\helper\\a.b.c", "a"},
        {"/src/native/OpsFileUpload.cpp", "OpsFileUpload"},
        {"dir/Makefile", "Makefile"},
        {"dir\\sub/HelperApp.moc.cpp", "HelperApp"},
    };
    for (const auto& c : cases) {
        LogRecord r(0);
        r.setComponentFromSourcePath(c.first);
        EXPECT_EQ(r.component, Tellan::Text::toWide(c.second)) << c.first;
    }
}

TEST(LogStream, MessageIsTheStreamTextAndNonAsciiSurvives)
{
    auto& sink = TestSupport::installRecordingSink();
    TLOG(INFO, "c") << "a" << 5;
    TLOG(INFO, "c");
    TLOG(INFO, "c") << QString::fromUtf8("\xC3\xA9t\xC3\xA9");
    TLOG(INFO, "c") << "";
    TLOG(INFO, "c") << "caf\xE9 " << std::string("x\xC3\xA9y").c_str();
    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 5u);
    // Each narrow byte stands for itself, as a Latin-1 character.
    EXPECT_NE(lines[4].find(" : caf\xE9 x\xC3\xA9y\n"), std::string::npos) << lines[4];
    EXPECT_NE(lines[0].find(" : a5\n"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 3), " :\n");
    EXPECT_NE(lines[2].find(" : \xE9t\xE9\n"), std::string::npos);
    EXPECT_EQ(lines[3].substr(lines[3].size() - 3), " :\n");
}

namespace {
struct Streamed {
    const char* name;
    std::function<void()> statement;
    std::string message;
};
} // namespace

// The statement takes what a wide stream takes and writes it as that stream
// would, whether the part is appended directly or goes through a stream.
TEST(LogStream, MessageTextAsAWideStreamWritesIt)
{
    auto& sink = TestSupport::installRecordingSink();
    const Streamed cases[] = {
        {"integers",
         [] {
             TLOG(INFO, "c") << -7 << ' ' << 7u << ' ' << -8L << ' ' << 8UL << ' ' << -9LL << ' '
                             << 18446744073709551615ULL;
         },
         "-7 7 -8 8 -9 18446744073709551615"},
        {"floating point", [] { TLOG(INFO, "c") << 1.5e7 << ' ' << 0.5f << ' ' << 0.1 + 0.2 << ' ' << 1e-5; },
         "1.5e+07 0.5 0.3 1e-05"},
        {"bool without boolalpha", [] { TLOG(INFO, "c") << true << false; }, "10"},
        {"narrow bytes as themselves", [] { TLOG(INFO, "c") << "caf\xE9" << '\xE9'; }, "caf\xE9\xE9"},
        {"wide text and a character outside the BMP",
         [] { TLOG(INFO, "c") << L"w\u00E9" << std::wstring(L"\U0001F3B5"); }, "w\xE9??"},
        {"QString units", [] { TLOG(INFO, "c") << QString::fromUtf8("\xE4\xB8\xAD|\xC3\xA9"); }, "?|\xE9"},
        {"manipulators keep working for what follows",
         [] { TLOG(INFO, "c") << "x" << std::hex << 255 << ' ' << std::boolalpha << true << ' ' << 1.5; },
         "xff true 1.5"},
        {"a type with its own operator", [] { TLOG(INFO, "c") << "n=" << short(-3) << QLatin1String("L"); }, "n=-3L"},
        {"the stream's rest after a manipulator",
         [] { TLOG(INFO, "c") << std::setw(4) << 7 << L"\U0001F3B5" << "caf\xE9"; }, "   7??caf\xE9"},
    };
    for (const Streamed& c : cases) {
        sink.clear();
        c.statement();
        ASSERT_EQ(sink.lines().size(), 1u) << c.name;
        const std::string line = sink.lines()[0];
        const std::size_t at = line.find(" : ");
        ASSERT_NE(at, std::string::npos) << c.name;
        EXPECT_EQ(line.substr(at + 3), c.message + "\n") << c.name;
    }
}

TEST(LogStream, AFailingSinkDoesNotStopTheCallerNorTheDispatcher)
{
    auto* failing = new TestSupport::FailingSink();
    Tellan::Logging::instance().setLogger(failing);
    EXPECT_NO_THROW(TLOG(ERROR, "c") << "lost");
    EXPECT_NO_THROW(TLOG(ERROR, "c") << "lost again");
    EXPECT_EQ(failing->writes, 2);
    // The failed writes are over: replacing the sink does not wait for them.
    auto& sink = TestSupport::installRecordingSink();
    TLOG(INFO, "c") << "after";
    EXPECT_EQ(sink.lines().size(), 1u);
}

TEST(LogStream, ForcedOnlyWhenExactlyOne)
{
    auto& sink = TestSupport::installRecordingSink();
    Tellan::Logging::LogStream(LogRecord(1).setLevel(Tellan::Level::TRACE).setComponent("c")).out() << "one";
    Tellan::Logging::LogStream(LogRecord(2).setLevel(Tellan::Level::TRACE).setComponent("c")).out() << "two";
    TLOG(DEBUG, "c") << "debug";
    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Helper TRACE in c : one"), std::string::npos);
}
