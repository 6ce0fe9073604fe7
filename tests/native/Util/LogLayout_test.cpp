#include "Logging/LogRecord.h"
#include "Printers.h"
#include "ScriptedPlatform.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <functional>

using Tellan::LogRecord;
using namespace Tellan::Level;

namespace {

LogRecord stamped(int level, const char* component, const char* event, int line)
{
    LogRecord r(0);
    r.timestamp =
        boost::posix_time::ptime(boost::gregorian::date(2023, 9, 25), boost::posix_time::time_duration(10, 15, 0));
    r.setLevel(level).setComponent(component).setEvent(event).setLine(line);
    return r;
}

class LogLayout : public ::testing::Test {
protected:
    void SetUp() override { account.userName = "jsmith"; }
    TestSupport::ScriptedAccount account;
    Tellan::Platform::ScopedInstall<Tellan::Platform::Account> install{&account};
};

// The wide layouts as format() hands them out: a byte per UTF-16 unit.
std::string latin1(const std::wstring& wide)
{
    std::string out;
    for (wchar_t c : wide)
        out.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    return out;
}

struct LayoutCase {
    const char* name;
    std::function<LogRecord()> record;
    std::string line;
};

} // namespace

TEST_F(LogLayout, LinesByteForByte)
{
    const LayoutCase cases[] = {
        {"plain example",
         [] {
             LogRecord r = stamped(INFO, "helper", "", 57);
             r.addField("function", "Tellan::HelperApp::shutdown");
             r.setMessage("Begin helper shutdown");
             return r;
         },
         "230925:101500       Helper INFO in helper line 57, function Tellan::HelperApp::shutdown : Begin helper shutdown"},
        {"structured example",
         [] {
             LogRecord r = stamped(INFO, "WindowsVersion", "windowsVersionFound", 57);
             r.addField("majorVersion", 10u).addField("minorVersion", 0u);
             r.addField("function", "Tellan::WindowsVersionUtil::getCurrentWindowsVersion");
             return r;
         },
         "230925:101500 TellanHelper : I WindowsVersion : windowsVersionFound : function = "
         "Tellan>WindowsVersionUtil>getCurrentWindowsVersion , majorVersion = 10 , minorVersion = 0 : line 57, "},
        {"trace with event and component is plain", [] { return stamped(TRACE, "c", "e", 0); },
         "230925:101500      Helper TRACE in c :"},
        {"no event is plain", [] { return stamped(INFO, "c", "", 0); }, "230925:101500       Helper INFO in c :"},
        {"level 7 structured with I", [] { return stamped(7, "c", "e", 0); },
         "230925:101500 TellanHelper : I c : e : "},
        {"level -1 labelled INFO", [] { return stamped(-1, "c", "", 3); },
         "230925:101500       Helper INFO in c line 3 :"},
        {"debug letter D", [] { return stamped(DEBUG, "c", "e", 0); }, "230925:101500 TellanHelper : D c : e : "},
        {"warning and error labels",
         [] {
             LogRecord r = stamped(WARNING, "c", "", 0);
             r.setMessage("w");
             return r;
         },
         "230925:101500    Helper WARNING in c : w"},
        {"error label; no component leaves its space", [] { return stamped(ERROR, "", "", 0); },
         "230925:101500      Helper ERROR  :"},
        {"error letter", [] { return stamped(ERROR, "c", "e", 0); }, "230925:101500 TellanHelper : E c : e : "},
        {"event normalised", [] { return stamped(INFO, "c", " a  b::c:d ", 0); },
         "230925:101500 TellanHelper : I c : a b>c-d : "},
        {"bool field true; plain shows no fields",
         [] {
             LogRecord r = stamped(INFO, "c", "e", 0);
             r.addField("flag", true);
             return r;
         },
         "230925:101500 TellanHelper : I c : e : flag = true : "},
        {"plain drops other fields",
         [] {
             LogRecord r = stamped(INFO, "c", "", 0);
             r.addField("flag", true);
             return r;
         },
         "230925:101500       Helper INFO in c :"},
        {"plain trailing line feed trimmed, inner indented",
         [] {
             LogRecord r = stamped(INFO, "c", "", 0);
             r.setMessage("one\ntwo\n");
             return r;
         },
         "230925:101500       Helper INFO in c : one\n     two"},
        {"structured message trimmed and indented",
         [] {
             LogRecord r = stamped(INFO, "c", "e", 9);
             r.setMessage("  one\ntwo\r\n");
             return r;
         },
         "230925:101500 TellanHelper : I c : e : line 9, Comment In Log:     one\n     two"},
        {"user name scrubbed in field and component, case-sensitive",
         [] {
             LogRecord r = stamped(INFO, "jsmith", "e", 0);
             r.addField("path", "C:/Users/jsmith/Music").addField("other", "JSmith");
             return r;
         },
         "230925:101500 TellanHelper : I <user_name> : e : other = JSmith , path = C-/Users/<user_name>/Music : "},
        {"Latin-1 byte and ? for the rest, ?? outside the BMP",
         [] {
             LogRecord r = stamped(INFO, "c", "", 0);
             r.setMessage(QString::fromUtf8("\xC3\xA9|\xE4\xB8\xAD|\xF0\x9F\x8E\xB5"));
             return r;
         },
         "230925:101500       Helper INFO in c : \xE9|?|??"},
        {"narrow field values keep each byte's value",
         [] {
             LogRecord r = stamped(INFO, "c", "e", 0);
             r.addField("k", "caf\xE9").addField("q", QString::fromUtf8("caf\xC3\xA9"));
             return r;
         },
         "230925:101500 TellanHelper : I c : e : k = caf\xE9 , q = caf\xE9 : "},
        {"user name more than once, in the message, with the next character kept",
         [] {
             LogRecord r = stamped(INFO, "c", "e", 0);
             r.setMessage("/home/jsmith/jsmithx");
             return r;
         },
         "230925:101500 TellanHelper : I c : e : Comment In Log:     /home/<user_name>/<user_name>x"},
        {"numbers and floats in fields",
         [] {
             LogRecord r = stamped(INFO, "c", "e", 0);
             r.addField("a", -5).addField("b", 15000000.0).addField("c", 0.5f).addField("d", quint64(1) << 40);
             r.addField("e", qlonglong(-5));
             return r;
         },
         "230925:101500 TellanHelper : I c : e : a = -5 , b = 1.5e+07 , c = 0.5 , d = 1099511627776 , e = -5 : "},
        {"floats at the edges of the default form",
         [] {
             LogRecord r = stamped(INFO, "c", "e", 0);
             r.addField("a", 0.0001).addField("b", 0.00001).addField("c", 123456.0).addField("d", 1234567.0);
             r.addField("e", 1.0 / 3).addField("f", -0.0).addField("g", 1e300 * 1e10);
             return r;
         },
         "230925:101500 TellanHelper : I c : e : a = 0.0001 , b = 1e-05 , c = 123456 , d = 1.23457e+06 , "
         "e = 0.333333 , f = -0 , g = inf : "},
    };
    for (const LayoutCase& c : cases) {
        const LogRecord record = c.record();
        EXPECT_EQ(record.format(), c.line) << c.name;
        // The layout the line shows, on its own, gives the same text.
        const bool structured = c.line.compare(13, 16, " TellanHelper : ") == 0;
        EXPECT_EQ(latin1(structured ? record.formatStructuredLine() : record.formatPlainLine()), c.line) << c.name;
    }
}

TEST_F(LogLayout, EmptyOrUnreadableUserNameReplacesNothing)
{
    LogRecord r = stamped(INFO, "c", "", 0);
    r.setMessage("jsmith");
    account.userName.clear();
    EXPECT_EQ(r.format(), "230925:101500       Helper INFO in c : jsmith");
    account.fail = true;
    EXPECT_EQ(r.format(), "230925:101500       Helper INFO in c : jsmith");
}

TEST_F(LogLayout, UserNameOnlyMatchesWholeOccurrencesLeftToRight)
{
    account.userName = "aa";
    LogRecord r = stamped(INFO, "c", "", 0);
    r.setMessage("aaa");
    EXPECT_EQ(r.format(), "230925:101500       Helper INFO in c : <user_name>a");
}

TEST_F(LogLayout, ScrubUserNameReplacesEveryWholeOccurrenceLeftToRight)
{
    const struct {
        const char* name;
        QString user;
        std::wstring line;
        std::wstring scrubbed;
    } cases[] = {
        {"inside a path", "jsmith", L"C:/Users/jsmith/Music", L"C:/Users/<user_name>/Music"},
        {"case-sensitive", "jsmith", L"JSmith jsmitH", L"JSmith jsmitH"},
        {"the whole line, twice over", "jsmith", L"jsmithjsmith", L"<user_name><user_name>"},
        {"without overlapping", "aa", L"aaa", L"<user_name>a"},
        {"the placeholder is not searched again", "name", L"name", L"<user_name>"},
        {"a name longer than the placeholder", "a.very.long.user.name", L"x a.very.long.user.name y",
         L"x <user_name> y"},
        {"a name beyond Latin-1", QString::fromUtf8("J\xC3\xB6rg\xE4\xB8\xAD"), L"/home/J\u00F6rg\u4E2D/x",
         L"/home/<user_name>/x"},
        {"an empty name replaces nothing", "", L"jsmith", L"jsmith"},
        {"an empty line", "jsmith", L"", L""},
    };
    for (const auto& c : cases) {
        account.userName = c.user;
        EXPECT_EQ(Tellan::scrubUserName(c.line), c.scrubbed) << c.name;
    }
    account.userName = "jsmith";
    account.fail = true;
    EXPECT_EQ(Tellan::scrubUserName(L"jsmith"), L"jsmith") << "an unreadable name replaces nothing";
}

TEST(LogLayoutHelpers, LevelLetterIsDForTraceAndDebugAndIForAnyUnknownLevel)
{
    const std::pair<int, const wchar_t*> cases[] = {{TRACE, L"D"}, {DEBUG, L"D"}, {INFO, L"I"}, {WARNING, L"W"},
                                                    {ERROR, L"E"}, {7, L"I"},     {-1, L"I"}};
    for (const auto& c : cases)
        EXPECT_EQ(LogRecord::levelLetter(c.first), c.second) << c.first;
}

TEST(LogLayoutHelpers, FormatFieldsJoinsNormalisedValuesInKeyOrder)
{
    LogRecord r(0);
    r.addField("path", "C:/x::y  z ").addField("flag", false).addField("count", 3u).addField("function", "N::f");
    EXPECT_EQ(LogRecord::formatFields(r.fields), L"count = 3 , flag = false , function = N>f , path = C-/x>y z");
    LogRecord one(0);
    one.addField("k", -1);
    EXPECT_EQ(LogRecord::formatFields(one.fields), L"k = -1");
}

TEST(LogLayoutHelpers, IndentContinuationLinesIndentsAfterEveryLineFeed)
{
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", L""},
        {L"one", L"one"},
        {L"one\ntwo", L"one\n     two"},
        {L"\n", L"\n     "},
        {L"a\n\nb", L"a\n     \n     b"},
        {L"a\r\nb\r", L"a\r\n     b\r"},
    };
    for (const auto& c : cases) {
        std::wstring text = c.first;
        std::wstring& result = Tellan::indentContinuationLines(text);
        EXPECT_EQ(&result, &text);
        EXPECT_EQ(text, c.second);
    }
}

TEST(LogLayoutHelpers, NormalizeNameKeepsTheFirstCharacterOfAWhiteSpaceRun)
{
    std::wstring name = L"a\t  b";
    EXPECT_EQ(LogRecord::normalizeName(name), L"a\tb");
    std::wstring path = L" C:/x::y ";
    EXPECT_EQ(LogRecord::normalizeName(path), L"C-/x>y");
}

TEST(LogLayoutHelpers, LevelLabelIsRightAlignedInSeventeen)
{
    EXPECT_EQ(LogRecord::levelLabel(TRACE), L"     Helper TRACE");
    EXPECT_EQ(LogRecord::levelLabel(DEBUG), L"     Helper DEBUG");
    EXPECT_EQ(LogRecord::levelLabel(INFO), L"      Helper INFO");
    EXPECT_EQ(LogRecord::levelLabel(WARNING), L"   Helper WARNING");
    EXPECT_EQ(LogRecord::levelLabel(ERROR), L"     Helper ERROR");
    EXPECT_EQ(LogRecord::levelLabel(-3), L"      Helper INFO");
}
