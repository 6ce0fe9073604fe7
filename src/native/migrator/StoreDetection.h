#pragma once

// Finds the store (Appx) edition of the desktop application by listing the
// installed packages through PowerShell, and leaves the marker file
// "WinStoreDetected.txt" in the product root for the installer when it is
// there. Single-threaded; logs each step to the migrator's log.

#include <chrono>
#include <cstddef>
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

// The same answer over the output as it arrives, chunk by chunk, keeping
// only the bytes a name split across chunks needs: memory stays flat
// however much PowerShell writes.
class StoreAppSearch {
public:
    // One chunk as read from the pipe; a zero byte ends what is taken of it.
    void take(const char* chunk, std::size_t size);
    // Whether any byte was taken.
    bool anyOutput() const { return anyOutput_; }
    // Whether the output taken so far names the store package.
    bool found() const { return found_; }

private:
    std::string tail_;
    bool anyOutput_ = false;
    bool found_ = false;
};
