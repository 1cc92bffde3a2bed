// Simulated version, clock, sleeps and console. The console is a real file a
// test chooses; the run log is a real file too.
#include <cstdio>

#include "platform/system.h"
#include "sim/sim.h"

namespace {

struct SystemState {
    std::optional<unsigned> osMajor = 10u;
    platform::LocalTime time{2026, 12, 8, 9, 5, 7};
    std::uint64_t now = 0;
    std::vector<unsigned> sleeps;
    std::string consolePath;
    std::FILE* current = nullptr;  // what standard output is now
    bool redirected = false;
    unsigned keyWaits = 0;
};

SystemState& state() {
    static SystemState s;
    return s;
}

void closeCurrent() {
    SystemState& s = state();
    if (s.current != nullptr) std::fclose(s.current);
    s.current = nullptr;
}

void openConsole() {
    SystemState& s = state();
    closeCurrent();
    if (!s.consolePath.empty()) s.current = std::fopen(s.consolePath.c_str(), "a");
    s.redirected = false;
}

std::string narrowPath(const std::wstring& path) {
    std::string out;
    for (wchar_t c : path) out.push_back(static_cast<char>(c));  // test paths are ASCII
    return out;
}

}  // namespace

namespace sim {

void resetSystem() {
    closeCurrent();
    state() = SystemState();
}

void setOsMajorVersion(std::optional<unsigned> major) { state().osMajor = major; }
void setLocalTime(const platform::LocalTime& time) { state().time = time; }
std::uint64_t nowMilliseconds() { return state().now; }
void advanceMilliseconds(std::uint64_t milliseconds) { state().now += milliseconds; }
const std::vector<unsigned>& sleepsTaken() { return state().sleeps; }
unsigned keyWaits() { return state().keyWaits; }

void setConsoleFile(const std::string& path) {
    state().consolePath = path;
    openConsole();
}

}  // namespace sim

namespace platform {

std::optional<unsigned> osMajorVersion() { return state().osMajor; }

LocalTime localTime() { return state().time; }

void sleepMilliseconds(unsigned milliseconds) {
    state().sleeps.push_back(milliseconds);
    sim::advanceMilliseconds(milliseconds);
}

void redirectOutputToLog(const std::wstring& logPath) {
    closeCurrent();
    state().current = std::fopen(narrowPath(logPath).c_str(), "a");
    state().redirected = true;
}

void restoreConsoleOutput() { openConsole(); }

std::FILE* output() { return state().current; }

void waitForKey() { ++state().keyWaits; }

}  // namespace platform
