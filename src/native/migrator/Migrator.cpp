#include "Migrator.h"
#include "MigratorLog.h"

#include "Platform/Platform.h"
#include "Platform/Version.h"

int runMigrator(std::chrono::milliseconds powershellWaitLimit)
{
    startMigratorLog();

    // The short OSVERSIONINFOW; a failed query leaves the major version 0.
    Tellan::Platform::OsVersionInfo version;
    version.size = 276;
    Tellan::Platform::Installed<Tellan::Platform::Version>::get().getVersionEx(version);
    if (version.majorVersion < 10) {
        appendMigratorMessage("not running in windows 10 or later");
        archiveMigratorLog();
        return 0;
    }

    appendMigratorMessage("running in windows 10 or later");
    const int exitCode = detectStoreApp(powershellWaitLimit);
    archiveMigratorLog();
    return exitCode;
}
