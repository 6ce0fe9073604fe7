#include "Logging/Log.h"
#include "Printers.h"
#include "RecordingSink.h"

#include <gtest/gtest.h>

#include <vector>

// Real functions of every shape the programs log from; each logs one line and
// the test reads the "function" the log site filled in.
namespace Tellan {

class OpsFileUpload {
public:
    OpsFileUpload() { TLOG(INFO, "c") << "ctor"; }
    ~OpsFileUpload() { TLOG(INFO, "c") << "dtor"; }
    void handleResolve(int, const char*) const { TLOG(INFO, "c") << "member"; }
    static bool InitStorageLocations()
    {
        TLOG(INFO, "c") << "static";
        return true;
    }
    std::vector<std::pair<int, int>> templated()
    {
        TLOG(INFO, "c") << "templated return";
        return {};
    }
};

template <class T>
T identity(T v)
{
    TLOG(INFO, "c") << "template";
    return v;
}

namespace {
void deleteFile(const QString&) { TLOG(INFO, "c") << "anonymous"; }
} // namespace

} // namespace Tellan

namespace {

std::string functionOf(const std::string& line)
{
    const std::size_t at = line.find(", function ");
    const std::size_t end = line.find(" : ", at);
    return line.substr(at + 11, end - at - 11);
}

} // namespace

TEST(LogSite, FillsTheQualifiedFunctionName)
{
    auto& sink = TestSupport::installRecordingSink();
    {
        Tellan::OpsFileUpload upload;
        upload.handleResolve(1, "x");
        Tellan::OpsFileUpload::InitStorageLocations();
        upload.templated();
    }
    Tellan::identity(3);
    Tellan::deleteFile(QString());

    const std::vector<std::string> expected = {
        "Tellan::OpsFileUpload::OpsFileUpload",        "Tellan::OpsFileUpload::handleResolve",
        "Tellan::OpsFileUpload::InitStorageLocations", "Tellan::OpsFileUpload::templated",
        "Tellan::OpsFileUpload::~OpsFileUpload",       "Tellan::identity",
        "Tellan::`anonymous-namespace'::deleteFile",
    };
    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(functionOf(lines[i]), expected[i]) << lines[i];
}

TEST(LogSite, StructuredStatementCarriesFieldsLineAndNormalisedFunction)
{
    auto& sink = TestSupport::installRecordingSink();
    const int line = __LINE__ + 1;
    TLOG_EVENT(WARNING, "OpsFileUploader", "DuplicateFileWarning", {"path", "C:/x"}, {"count", 2u}) << "again";
    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string tail = lines[0].substr(14);
    EXPECT_EQ(tail, "TellanHelper : W OpsFileUploader : DuplicateFileWarning : count = 2 , function = "
                    "LogSite_StructuredStatementCarriesFieldsLineAndNormalisedFunction_Test>TestBody , "
                    "path = C-/x : line "
                        + std::to_string(line) + ", Comment In Log:     again\n");
}

TEST(LogSite, TheSiteFunctionStandsInKeyOrderUnlessTheStatementNamedItsOwn)
{
    auto& sink = TestSupport::installRecordingSink();
    TLOG_EVENT(INFO, "c", "onlyFunction");
    TLOG_EVENT(INFO, "c", "before", {"a", 1}, {"functiom", 2});
    TLOG_EVENT(INFO, "c", "after", {"functionz", 1}, {"z", 2});
    TLOG_EVENT(INFO, "c", "own", {"function", "mine: here"}, {"x", 1});
    TLOG(INFO, "c") << "plain";
    const std::string name = "LogSite_TheSiteFunctionStandsInKeyOrderUnlessTheStatementNamedItsOwn_Test>TestBody";
    const std::vector<std::string> expected = {
        "I c : onlyFunction : function = " + name + " : line ",
        "I c : before : a = 1 , functiom = 2 , function = " + name + " : line ",
        "I c : after : function = " + name + " , functionz = 1 , z = 2 : line ",
        "I c : own : function = mine- here , x = 1 : line ",
        "Helper INFO in c line ",
    };
    const auto lines = sink.lines();
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
    EXPECT_NE(
        lines[4].find(
            ", function LogSite_TheSiteFunctionStandsInKeyOrderUnlessTheStatementNamedItsOwn_Test::TestBody : plain\n"),
        std::string::npos)
        << lines[4];
}

TEST(LogSite, SignatureTextTable)
{
    const std::pair<const char*, const char*> cases[] = {
        {"void Tellan::HelperApp::shutdown()", "Tellan::HelperApp::shutdown"},
        {"virtual void Tellan::HelperLogger::write(const string&)", "Tellan::HelperLogger::write"},
        {"bool {anonymous}::deleteFile(const QString&)", "`anonymous-namespace'::deleteFile"},
        {"Tellan::X::f(int)::<lambda()>", "Tellan::X::f::<lambda>"},
        {"T Tellan::g() [with T = int]", "Tellan::g"},
        {"std::map<int, std::basic_string<char> > Tellan::m(int) const", "Tellan::m"},
        {"bool Tellan::C::operator()(int)", "Tellan::C::operator()"},
        {"main", "main"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Tellan::qualifiedFunctionName(c.first).toStdString(), c.second) << c.first;
}
