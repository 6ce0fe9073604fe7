#include "Platform/Platform.h"
#include "Platform/Version.h"
// Every facility header together: their names must not clash.
#include "Platform/Account.h"
#include "Platform/Com.h"
#include "Platform/FileShare.h"
#include "Platform/Machine.h"
#include "Platform/Process.h"
#include "Platform/Registry.h"
#include "Platform/SocketOptions.h"
#include "Platform/Threads.h"
#include "ScriptedPlatform.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace Tellan::Platform;

TEST(PlatformLayer, ScopedInstallReplacesAndRestoresTheNativeFacility)
{
    EXPECT_EQ(&Installed<Version>::get(), &Version::native());
    {
        TestSupport::ScriptedVersion scripted(6, 1, VER_NT_SERVER);
        ScopedInstall<Version> install(&scripted);
        EXPECT_EQ(&Installed<Version>::get(), &scripted);
    }
    EXPECT_EQ(&Installed<Version>::get(), &Version::native());
}

TEST(PlatformLayer, NativeVersionIsWindows10WorkstationAndVerifiesLikeTheSystemCall)
{
    OsVersionInfo info;
    info.size = 276;
    ASSERT_TRUE(Version::native().getVersionEx(info));
    EXPECT_EQ(info.majorVersion, 10u);
    EXPECT_EQ(info.minorVersion, 0u);

    OsVersionInfo wanted;
    wanted.size = 284;
    wanted.majorVersion = 10;
    const auto mask = verSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    EXPECT_TRUE(Version::native().verifyVersionInfo(wanted, VER_MAJORVERSION, mask));
    wanted.majorVersion = 11;
    EXPECT_FALSE(Version::native().verifyVersionInfo(wanted, VER_MAJORVERSION, mask));
    EXPECT_EQ(getLastError(), ERROR_OLD_WIN_VERSION_CODE);
}

TEST(PlatformLayer, ConditionMaskKeepsThreeBitsPerType)
{
    EXPECT_EQ(verSetConditionMask(0, VER_MINORVERSION, VER_GREATER_EQUAL), 3u);
    EXPECT_EQ(verSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), 3u << 3);
    EXPECT_EQ(verSetConditionMask(0, VER_PRODUCT_TYPE, VER_GREATER_EQUAL), std::uint64_t(3) << 21);
}

TEST(PlatformLayer, LastErrorIsPerThread)
{
    setLastError(5);
    std::uint32_t other = 99;
    std::thread([&] { other = getLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(getLastError(), 5u);
}

struct ErrnoCase {
    int error;
    std::uint32_t code;
    const char* text;
};

// One mapping from errno for every facility, and the system's wording for
// each number it gives.
TEST(PlatformErrors, ErrnoMapsToOneWindowsNumberWithTheSystemsText)
{
    const ErrnoCase cases[] = {
        {ENOENT, 2, "The system cannot find the file specified.\r\n"},
        {ENOTDIR, 3, "The system cannot find the path specified.\r\n"},
        {EMFILE, 4, "The system cannot open the file.\r\n"},
        {EACCES, 5, "Access is denied.\r\n"},
        {EPERM, 5, "Access is denied.\r\n"},
        {EBADF, 6, "The handle is invalid.\r\n"},
        {ENOMEM, 8, "Not enough memory resources are available to process this command.\r\n"},
        {EDOM, 31, "A device attached to the system is not functioning.\r\n"},
        {ETXTBSY, 32, "The process cannot access the file because it is being used by another process.\r\n"},
        {EINVAL, 87, "The parameter is incorrect.\r\n"},
        {ENOEXEC, 193, "%1 is not a valid Win32 application.\r\n"},
        {ENAMETOOLONG, 206, "The filename or extension is too long.\r\n"},
    };
    for (const ErrnoCase& c : cases) {
        EXPECT_EQ(errorFromErrno(c.error), c.code) << std::strerror(c.error);
        ASSERT_NE(errorMessageText(c.code), nullptr) << c.code;
        EXPECT_STREQ(errorMessageText(c.code), c.text);
    }
    for (int error = 1; error < 134; ++error)
        EXPECT_NE(errorMessageText(errorFromErrno(error)), nullptr) << std::strerror(error);
}

TEST(PlatformErrors, EveryNumberTheLayerDefinesHasItsText)
{
    for (const std::uint32_t code : {ERROR_SUCCESS_CODE,
                                     ERROR_INVALID_FUNCTION_CODE,
                                     ERROR_FILE_NOT_FOUND_CODE,
                                     ERROR_PATH_NOT_FOUND_CODE,
                                     ERROR_TOO_MANY_OPEN_FILES_CODE,
                                     ERROR_ACCESS_DENIED_CODE,
                                     ERROR_INVALID_HANDLE_CODE,
                                     ERROR_NOT_ENOUGH_MEMORY_CODE,
                                     ERROR_OUTOFMEMORY_CODE,
                                     ERROR_GEN_FAILURE_CODE,
                                     ERROR_SHARING_VIOLATION_CODE,
                                     ERROR_LOCK_VIOLATION_CODE,
                                     ERROR_INVALID_PARAMETER_CODE,
                                     ERROR_BUFFER_OVERFLOW_CODE,
                                     ERROR_INSUFFICIENT_BUFFER_CODE,
                                     ERROR_BAD_EXE_FORMAT_CODE,
                                     ERROR_FILENAME_EXCED_RANGE_CODE,
                                     ERROR_MORE_DATA_CODE,
                                     ERROR_MR_MID_NOT_FOUND_CODE,
                                     ERROR_OLD_WIN_VERSION_CODE,
                                     ERROR_NONE_MAPPED_CODE,
                                     ERROR_INVALID_SID_CODE,
                                     ERROR_RESOURCE_LANG_NOT_FOUND_CODE,
                                     WSAEFAULT_CODE,
                                     WSAVERNOTSUPPORTED_CODE,
                                     WSANOTINITIALISED_CODE}) {
        const char* text = errorMessageText(code);
        ASSERT_NE(text, nullptr) << code;
        EXPECT_GT(std::strlen(text), 2u);
        EXPECT_STREQ(text + std::strlen(text) - 2, "\r\n") << code;
    }
    // An HRESULT made from a Windows error reads as that error; others have none.
    EXPECT_STREQ(errorMessageText(0x80070020u), errorMessageText(ERROR_SHARING_VIOLATION_CODE));
    EXPECT_EQ(errorMessageText(424242), nullptr);
}

TEST(PlatformThreads, ThreadIdIsTheKernelsForEveryThreadAndForAForkedChild)
{
    Threads& threads = Threads::native();
    const std::uint32_t mine = threads.currentThreadId();
    EXPECT_EQ(mine, static_cast<std::uint32_t>(::syscall(SYS_gettid)));
    EXPECT_EQ(threads.currentThreadId(), mine);

    std::uint32_t other = 0, otherKernel = 0;
    std::thread([&] {
        other = threads.currentThreadId();
        otherKernel = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    }).join();
    EXPECT_EQ(other, otherKernel);
    EXPECT_NE(other, mine);

    // The child's only thread has the child's process id.
    const pid_t child = ::fork();
    ASSERT_NE(child, -1) << std::strerror(errno);
    if (child == 0)
        ::_exit(threads.currentThreadId() == static_cast<std::uint32_t>(::getpid()) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PlatformSockets, NoDelayAndCorkAreSetAndClearedOnATcpSocket)
{
    const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(tcp, 0) << std::strerror(errno);
    const auto option = [tcp](int name) {
        int value = -1;
        socklen_t size = sizeof value;
        EXPECT_EQ(::getsockopt(tcp, IPPROTO_TCP, name, &value, &size), 0);
        return value;
    };
    SocketOptions& native = SocketOptions::native();
    for (const bool on : {true, false}) {
        EXPECT_TRUE(native.setNoDelay(tcp, on));
        EXPECT_EQ(option(TCP_NODELAY) != 0, on);
        EXPECT_TRUE(native.setCork(tcp, on));
        EXPECT_EQ(option(TCP_CORK) != 0, on);
    }
    ::close(tcp);
    // A handle that is no socket: each says it could not.
    EXPECT_FALSE(native.setNoDelay(-1, true));
    EXPECT_FALSE(native.setCork(-1, true));
}
