// What the simulated command area saw, beyond sim.h: for tests of the
// runner's order of events and its release of every child.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Size on disk of the program's output file when each command was handed
// to the system (-1 while the output is closed), in order: shows whether
// the command's log line had been flushed before the child started.
const std::vector<std::int64_t>& outputSizeAtStart();
// The simulated time each command was handed to the system, in order.
const std::vector<std::uint64_t>& commandStartTimes();

// Children started and not yet released.
std::size_t childrenHeld();

// The program (full path) each command line was started with, in order.
const std::vector<std::wstring>& programsStarted();

}  // namespace sim
