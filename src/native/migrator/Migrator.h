#pragma once

#include "StoreDetection.h"

#include <chrono>

// One run of the migrator from its entry to its exit: restarts the log,
// tests for Windows 10, runs the store detection there, archives the log on
// every path and returns the exit code (0, or 1 when PowerShell could not be
// run to its end).
int runMigrator(std::chrono::milliseconds powershellWaitLimit = POWERSHELL_WAIT_LIMIT);
