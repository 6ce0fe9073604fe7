#pragma once

// The helper program from its entry to its exit code; main() only calls
// helperEntry.

#include <string>

namespace Tellan {

// Waits for a debugger, refreshes the elevation policy, then helperMain.
int helperEntry(int argc, char** argv);

// What Windows hands wWinMain as its raw command line: the arguments after
// the program's path, in one line.
std::wstring rawCommandLine(int argc, char** argv);

// Waits, without a time limit, until a debugger is attached when the raw
// command line holds "--waitDebugger" (case-sensitive, anywhere in it).
void waitForDebugger(const wchar_t* commandLine);

// Calls IERefreshElevationPolicy, when it is there, on version 6 and later;
// its result and a failed version query are ignored.
void refreshElevationPolicy();

// Prepares the folders, then runs as the helper of the session or forwards
// this start's arguments to it. The exit code: 0 after a "--kill" ended the
// running helper or when the arguments were forwarded; 1 when the folders
// cannot be made, the forward failed, "--kill" came to the first helper or
// the product's executable is missing.
int helperMain(int argc, char** argv);

} // namespace Tellan
