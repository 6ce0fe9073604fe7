#include "ChildProgram.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

// A process that ends while pool threads are busy or waiting must end with
// its own exit code, and nothing (a sanitizer, a crash) may say otherwise.
TEST(ProcessExit, EndsCleanlyWhilePoolThreadsAreBusy)
{
    QTemporaryDir dir;
    const struct {
        QStringList arguments;
        int exitCode;
    } cases[] = {
        {{"log-loop", dir.filePath("log.txt")}, 3},
        {{"delayed"}, 4},
    };
    for (const auto& c : cases) {
        for (int run = 0; run < 5; ++run) {
            TestSupport::ChildProgram child(TestSupport::testProgram("exit_child"), c.arguments);
            EXPECT_EQ(child.finish(), c.exitCode) << child.commandLine();
            EXPECT_EQ(child.errors().toStdString(), "");
            EXPECT_EQ(child.output().toStdString(), "");
        }
    }
}
