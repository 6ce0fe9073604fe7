#include "OwnProcess.h"

#include "ChildProgram.h"

#include <QFile>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

namespace TestSupport {

namespace {

const char kOwnProcess[] = "ZORVIK_TEST_OWN_PROCESS";

} // namespace

bool inOwnProcess() { return qEnvironmentVariableIsSet(kOwnProcess); }

void runInOwnProcess()
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString name = QString::fromUtf8(test->test_suite_name()) + "." + QString::fromUtf8(test->name());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The child runs this one test once, whatever this run was asked for.
    for (const QString& variable : environment.keys())
        if (variable.startsWith("GTEST_"))
            environment.remove(variable);
    environment.insert(kOwnProcess, "1");
    ChildProgram child(QFile::symLinkTarget("/proc/self/exe"),
                       {"--gtest_filter=" + name, "--gtest_repeat=1", "--gtest_shuffle=0", "--gtest_color=no"},
                       environment);
    const int exitCode = child.finish(5 * ChildProgram::kLimitMs);
    const QByteArray output = child.output();
    EXPECT_EQ(exitCode, 0) << output.constData() << child.errors().constData();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test.")) << name.toStdString() << " did not run alone:\n"
                                                         << output.constData();
}

} // namespace TestSupport
