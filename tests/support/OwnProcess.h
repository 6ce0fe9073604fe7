#pragma once

namespace TestSupport {

// For a test of what happens on first use in a process (threads started,
// values kept for the process's life): it runs again in a child process of
// its own, so that it passes whatever ran before it and however often.
//
//     TEST(Suite, FirstUse...)
//     {
//         if (!TestSupport::inOwnProcess())
//             return TestSupport::runInOwnProcess();
//         ...
//     }
bool inOwnProcess();
// Runs the current test alone in a new copy of this test program, and fails
// with the child's output unless it passed there.
void runInOwnProcess();

} // namespace TestSupport
