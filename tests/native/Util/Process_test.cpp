#include "Platform/Process.h"
#include "Platform/CommandLine.h"
#include "Platform/Platform.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace Tellan::Platform;

namespace {

// One child with its output (standard output and error) on a pipe, as the
// migrator starts PowerShell.
struct PipedChild {
    Process& process = Process::native();
    Handle readEnd = NO_HANDLE;
    Handle writeEnd = NO_HANDLE;
    ProcessInformation info;

    bool start(std::wstring commandLine)
    {
        SecurityAttributes attributes;
        attributes.inheritHandle = true;
        if (!process.createPipe(&readEnd, &writeEnd, &attributes, 0))
            return false;
        StartupInfo startup;
        startup.flags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
        startup.showWindow = SW_HIDE;
        startup.stdOutput = writeEnd;
        startup.stdError = writeEnd;
        return process.createProcess(commandLine, true, CREATE_NEW_CONSOLE, startup, &info);
    }

    // Waits for the end and returns everything written; a child still
    // running after a minute is ended and the test fails.
    std::string collect()
    {
        std::string out;
        bool ended = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!ended) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the child still runs after a minute";
                process.terminateProcess(info.process, 1);
                break;
            }
            ended = process.waitForProcessOrPipeData(info.process, readEnd, 1000) == WAIT_OBJECT_0_CODE;
            std::uint32_t available = 0;
            while (process.peekNamedPipe(readEnd, &available) && available > 0) {
                char buffer[512];
                std::uint32_t n = 0;
                if (!process.readFile(readEnd, buffer, std::min<std::uint32_t>(available, sizeof buffer), &n) || n == 0)
                    break;
                out.append(buffer, n);
            }
        }
        return out;
    }

    ~PipedChild()
    {
        for (Handle h : {readEnd, writeEnd, info.process, info.thread})
            if (h != NO_HANDLE)
                process.closeHandle(h);
    }
};

struct WordsCase {
    const char* name;
    std::wstring commandLine;
    std::vector<std::string> words;
};

void PrintTo(const WordsCase& c, std::ostream* os) { *os << c.name; }

class CommandLineWords : public ::testing::TestWithParam<WordsCase> {};

TEST_P(CommandLineWords, AreSplitAsAWindowsChildWouldSplitThem)
{
    EXPECT_EQ(commandLineWords(GetParam().commandLine), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineWords,
    ::testing::Values(WordsCase{"Empty", L"", {}}, WordsCase{"BlanksOnly", L" \t ", {}},
                      WordsCase{"Spaces",
                                L"powershell.exe Get-AppxPackage | ft  Name -AutoSize",
                                {"powershell.exe", "Get-AppxPackage", "|", "ft", "Name", "-AutoSize"}},
                      WordsCase{"TabsAndOuterBlanks", L"\ta\t b ", {"a", "b"}},
                      WordsCase{"Quoted", L"\"two words\" x\"y z\"", {"two words", "xy z"}},
                      WordsCase{"EmptyQuotes", L"\"\" a", {"", "a"}},
                      WordsCase{"UnclosedQuote", L"a \"b c", {"a", "b c"}},
                      WordsCase{"BackslashesNotBeforeAQuote", L"a\\\\b c\\", {"a\\\\b", "c\\"}},
                      WordsCase{"OddBackslashesBeforeAQuote", L"\\\"q\\\\\\\"", {"\"q\\\""}},
                      WordsCase{"EvenBackslashesBeforeAQuote", L"\"a\\\\\" b", {"a\\", "b"}},
                      // Wide text of UTF-16 units: a pair becomes one UTF-8 character.
                      WordsCase{"BeyondTheBasicPlane",
                                std::wstring{L'x', wchar_t(0xD83D), wchar_t(0xDE00), L' ', wchar_t(0xE9)},
                                {"x\xF0\x9F\x98\x80", "\xC3\xA9"}}),
    [](const ::testing::TestParamInfo<WordsCase>& info) { return std::string(info.param.name); });

TEST(NativeProcess, TheChildGetsTheWordsOfItsCommandLine)
{
    PipedChild child;
    ASSERT_TRUE(child.start(L"sh -c \"printf '[%s]' \\\"$@\\\"\" sh \"two words\" \\\"q\\\" a\\\\b"));
    EXPECT_EQ(child.collect(), "[two words][\"q\"][a\\\\b]");
}

TEST(NativeProcess, WaitTimesOutWhileTheChildRunsAndTerminateEndsIt)
{
    PipedChild child;
    ASSERT_TRUE(child.start(L"sleep 30"));
    EXPECT_EQ(child.process.waitForSingleObject(child.info.process, 20), WAIT_TIMEOUT_CODE);
    EXPECT_TRUE(child.process.terminateProcess(child.info.process, 1));
    EXPECT_EQ(child.process.waitForSingleObject(child.info.process, 60000), WAIT_OBJECT_0_CODE);
    // The thread handle sees the same end; an ended process cannot be ended again.
    EXPECT_EQ(child.process.waitForSingleObject(child.info.thread, 0), WAIT_OBJECT_0_CODE);
    EXPECT_FALSE(child.process.terminateProcess(child.info.process, 1));
    EXPECT_EQ(::kill(static_cast<pid_t>(child.info.processId), 0), -1);
}

TEST(NativeProcess, TerminateEndsWhatTheChildStartedToo)
{
    PipedChild child;
    // The grandchild reports its pid, then both wait for ever.
    ASSERT_TRUE(child.start(L"sh -c \"sleep 30 & echo $!; wait\""));
    std::string pid;
    while (pid.find('\n') == std::string::npos) {
        ASSERT_EQ(child.process.waitForProcessOrPipeData(child.info.process, child.readEnd, 60000),
                  WAIT_PIPE_DATA_CODE);
        std::uint32_t available = 0;
        char buffer[64];
        std::uint32_t n = 0;
        ASSERT_TRUE(child.process.peekNamedPipe(child.readEnd, &available));
        ASSERT_TRUE(
            child.process.readFile(child.readEnd, buffer, std::min<std::uint32_t>(available, sizeof buffer), &n));
        pid.append(buffer, n);
    }
    // Not a child of this process: its end shows on a pidfd.
    const int grandchild = int(::syscall(SYS_pidfd_open, std::stoi(pid), 0));
    ASSERT_GE(grandchild, 0);
    EXPECT_TRUE(child.process.terminateProcess(child.info.process, 1));
    EXPECT_EQ(child.process.waitForSingleObject(child.info.process, 60000), WAIT_OBJECT_0_CODE);
    pollfd ended{grandchild, POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 60000), 1);
    ::close(grandchild);
}

TEST(NativeProcess, AParentThatIgnoresSigchldStillSeesTheChildEnd)
{
    struct IgnoredSigchld {
        IgnoredSigchld() { old = ::signal(SIGCHLD, SIG_IGN); }
        ~IgnoredSigchld() { ::signal(SIGCHLD, old); }
        sighandler_t old;
    } ignored;
    PipedChild child;
    ASSERT_TRUE(child.start(L"sh -c \"echo done\""));
    EXPECT_EQ(child.collect(), "done\n");
    EXPECT_FALSE(child.process.terminateProcess(child.info.process, 1));
}

TEST(NativeProcess, WaitForProcessOrDataEndsWhenTheRunningChildWrites)
{
    PipedChild child;
    ASSERT_TRUE(child.start(L"sh -c \"printf x; exec sleep 30\""));
    // A wait that ignored the pipe would time out after the whole minute.
    EXPECT_EQ(child.process.waitForProcessOrPipeData(child.info.process, child.readEnd, 60000), WAIT_PIPE_DATA_CODE);
    std::uint32_t available = 0;
    ASSERT_TRUE(child.process.peekNamedPipe(child.readEnd, &available));
    EXPECT_EQ(available, 1u);
    EXPECT_EQ(child.process.waitForSingleObject(child.info.process, 0), WAIT_TIMEOUT_CODE);
    EXPECT_TRUE(child.process.terminateProcess(child.info.process, 1));
}

TEST(NativeProcess, WaitForProcessOrDataSeesTheEndEvenWithDataLeftAndTimesOutOtherwise)
{
    PipedChild quiet;
    ASSERT_TRUE(quiet.start(L"sleep 30"));
    EXPECT_EQ(quiet.process.waitForProcessOrPipeData(quiet.info.process, quiet.readEnd, 20), WAIT_TIMEOUT_CODE);
    EXPECT_TRUE(quiet.process.terminateProcess(quiet.info.process, 1));
    // The end is seen however long the wait may be, and not through the
    // pipe: its write end is still open here.
    EXPECT_EQ(quiet.process.waitForProcessOrPipeData(quiet.info.process, quiet.readEnd, INFINITE_WAIT),
              WAIT_OBJECT_0_CODE);

    PipedChild done;
    ASSERT_TRUE(done.start(L"printf 12345"));
    ASSERT_EQ(done.process.waitForSingleObject(done.info.process, 60000), WAIT_OBJECT_0_CODE);
    EXPECT_EQ(done.process.waitForProcessOrPipeData(done.info.process, done.readEnd, 0), WAIT_OBJECT_0_CODE);

    EXPECT_EQ(done.process.waitForProcessOrPipeData(done.info.process, 0xDEAD0, 0), WAIT_FAILED_CODE);
    EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(done.process.waitForProcessOrPipeData(done.readEnd, done.readEnd, 0), WAIT_FAILED_CODE);
    EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE_CODE);
}

TEST(NativeProcess, PeekCountsWithoutConsumingAndReadSeesTheEndOfThePipe)
{
    PipedChild child;
    ASSERT_TRUE(child.start(L"printf 12345"));
    ASSERT_EQ(child.process.waitForSingleObject(child.info.process, 60000), WAIT_OBJECT_0_CODE);
    std::uint32_t available = 0;
    ASSERT_TRUE(child.process.peekNamedPipe(child.readEnd, &available));
    EXPECT_EQ(available, 5u);
    ASSERT_TRUE(child.process.peekNamedPipe(child.readEnd, &available));
    EXPECT_EQ(available, 5u);

    ASSERT_TRUE(child.process.closeHandle(child.writeEnd));
    child.writeEnd = NO_HANDLE;
    char buffer[16];
    std::uint32_t n = 0;
    ASSERT_TRUE(child.process.readFile(child.readEnd, buffer, sizeof buffer, &n));
    EXPECT_EQ(std::string(buffer, n), "12345");
    ASSERT_TRUE(child.process.readFile(child.readEnd, buffer, sizeof buffer, &n));
    EXPECT_EQ(n, 0u);
}

TEST(NativeProcess, ProgramMissingFromPathFailsWithFileNotFound)
{
    PipedChild child;
    EXPECT_FALSE(child.start(L"zorvik-no-such-program-anywhere --flag"));
    EXPECT_EQ(getLastError(), ERROR_FILE_NOT_FOUND_CODE);
    std::wstring empty;
    EXPECT_FALSE(child.process.createProcess(empty, true, 0, StartupInfo{}, &child.info));
    EXPECT_EQ(getLastError(), ERROR_INVALID_PARAMETER_CODE);
}

TEST(NativeProcess, UnknownHandlesFailWithInvalidHandle)
{
    Process& process = Process::native();
    const Handle bogus = 0xDEAD0;
    std::uint32_t value = 0;
    char buffer[4];
    EXPECT_EQ(process.waitForSingleObject(bogus, 0), WAIT_FAILED_CODE);
    EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE_CODE);
    EXPECT_FALSE(process.peekNamedPipe(bogus, &value));
    EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE_CODE);
    EXPECT_FALSE(process.readFile(bogus, buffer, sizeof buffer, &value));
    EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE_CODE);
    EXPECT_FALSE(process.terminateProcess(bogus, 1));
    EXPECT_FALSE(process.closeHandle(bogus));
    EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE_CODE);
}

TEST(NativeProcess, AClosedHandleIsGone)
{
    Process& process = Process::native();
    Handle readEnd = NO_HANDLE, writeEnd = NO_HANDLE;
    ASSERT_TRUE(process.createPipe(&readEnd, &writeEnd, nullptr, 0));
    EXPECT_NE(readEnd, writeEnd);
    EXPECT_TRUE(process.closeHandle(readEnd));
    EXPECT_FALSE(process.closeHandle(readEnd));
    EXPECT_TRUE(process.closeHandle(writeEnd));
}

} // namespace
