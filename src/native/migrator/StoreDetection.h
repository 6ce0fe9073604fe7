#pragma once

// Finds the store (Appx) edition of the desktop application by listing the
// installed packages through PowerShell, and leaves the marker file
// "WinStoreDetected.txt" in the product root for the installer when it is
// there. Single-threaded; logs each step to the migrator's log.

#include <chrono>
#include <string>

// How long PowerShell may run in all. The installer waits for the migrator,
// so a PowerShell that never ends must not keep it running.
constexpr std::chrono::milliseconds POWERSHELL_WAIT_LIMIT{120000};

// 0 when the detection ran to its end (found or not, marker written or
// not); 1 when the pipe or the process cannot be created, or PowerShell
// did not end within waitLimit (it is then ended).
int detectStoreApp(std::chrono::milliseconds waitLimit = POWERSHELL_WAIT_LIMIT);

// Whether PowerShell's output, taken as Latin-1, names the store package.
bool outputNamesStoreApp(const std::string& output);
