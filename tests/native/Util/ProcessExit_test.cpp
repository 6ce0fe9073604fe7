#include <QProcess>
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
            QProcess child;
            child.start(ZORVIK_TEST_BIN_DIR "/exit_child", c.arguments);
            ASSERT_TRUE(child.waitForFinished(60000)) << c.arguments.join(' ').toStdString();
            EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << c.arguments.join(' ').toStdString();
            EXPECT_EQ(child.exitCode(), c.exitCode) << c.arguments.join(' ').toStdString();
            EXPECT_EQ(child.readAllStandardError().toStdString(), "");
            EXPECT_EQ(child.readAllStandardOutput().toStdString(), "");
        }
    }
}
