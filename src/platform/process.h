// Hidden child processes and bounded waits on them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// A started child; the platform keeps its handles until releaseChild.
using ChildId = std::uint64_t;

struct StartResult {
    std::optional<ChildId> child;   // nothing when the process could not start
    unsigned long errorCode = 0;    // the system's error code when it could not
};

// Starts `program` (a full path, taken as it is: nothing is searched for)
// with the command line as a hidden child sharing the program's console,
// environment and current directory; handles are not inherited.
StartResult startHiddenChild(const std::wstring& program, const std::wstring& commandLine);

enum class WaitOutcome { Ended, TimedOut, Failed };

WaitOutcome waitForChild(ChildId child, unsigned milliseconds);

// Closes the child's process and thread handles. A child still running is
// left to run on its own.
void releaseChild(ChildId child);

}  // namespace platform
