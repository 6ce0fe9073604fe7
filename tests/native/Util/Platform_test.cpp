#include "Platform/Platform.h"
#include "Platform/Version.h"
// Every facility header together: their names must not clash.
#include "Platform/Account.h"
#include "Platform/Com.h"
#include "Platform/Machine.h"
#include "Platform/Process.h"
#include "Platform/Registry.h"
#include "Platform/Threads.h"
#include "ScriptedPlatform.h"

#include <thread>

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
