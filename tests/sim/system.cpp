// Simulated version, clock, sleeps, console, serial port and event log. The
// console is a real file a test chooses; the run log is a real file too.
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/outcome.h"
#include "platform/service.h"
#include "platform/system.h"
#include "sim/sim.h"

namespace {

struct SystemState {
    std::optional<unsigned> osMajor = 10u;
    std::optional<std::wstring> systemDirectory = std::wstring(L"C:\\Windows\\system32");
    platform::LocalTime time{2026, 12, 8, 9, 5, 7};
    std::uint64_t now = 0;
    std::vector<unsigned> sleeps;
    std::string consolePath;
    std::FILE* current = nullptr;  // what standard output is now
    bool redirected = false;
    unsigned keyWaits = 0;
    // Until when (simulated) another run holds the lock: 0 none, max never.
    std::uint64_t otherRunUntil = 0;
    unsigned long lockError = 0;                                 // non-zero: unavailable
    bool lockForeign = false;
    unsigned long unlockError = 0;                               // non-zero: letting go refused
    bool lockHeld = false;
    std::vector<std::string> events;
    std::multimap<std::uint64_t, std::function<void()>> scheduled;
    bool stop = false;
    std::uint32_t random = 0;
    unsigned long dispatchError = 0;
    unsigned long installError = 0;
    platform::RemoveResult removeResult;
    std::wstring changeableByOthers;
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
    s.events.push_back("console");
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
void setSystemDirectory(std::optional<std::wstring> folder) { state().systemDirectory = std::move(folder); }
std::uint64_t nowMilliseconds() { return state().now; }
void advanceMilliseconds(std::uint64_t milliseconds) {
    SystemState& s = state();
    const std::uint64_t target = s.now + milliseconds;
    // What was scheduled on the way happens at its time, in order.
    while (!s.scheduled.empty() && s.scheduled.begin()->first <= target) {
        const auto next = s.scheduled.begin();
        s.now = std::max(s.now, next->first);
        const std::function<void()> action = next->second;
        s.scheduled.erase(next);
        action();
    }
    s.now = target;
}
void at(std::uint64_t milliseconds, std::function<void()> action) {
    state().scheduled.emplace(milliseconds, std::move(action));
}
void requestStop() { state().stop = true; }
void setRandomNumber(std::uint32_t number) { state().random = number; }
void setServiceErrors(unsigned long dispatch, unsigned long install, platform::RemoveResult remove) {
    state().dispatchError = dispatch;
    state().installError = install;
    state().removeResult = remove;
}
void setChangeableByOthers(const std::wstring& path) { state().changeableByOthers = path; }
const std::vector<unsigned>& sleepsTaken() { return state().sleeps; }
unsigned keyWaits() { return state().keyWaits; }

void setOtherRunHolds(std::optional<std::uint64_t> milliseconds) {
    state().otherRunUntil =
        milliseconds ? state().now + *milliseconds : std::numeric_limits<std::uint64_t>::max();
}
void setRunLockUnavailable(unsigned long errorCode) { state().lockError = errorCode; }
void setRunLockForeign() { state().lockForeign = true; }
void setRunLockReleaseRefused(unsigned long errorCode) { state().unlockError = errorCode; }
const std::vector<std::string>& systemEvents() { return state().events; }

void setConsoleFile(const std::string& path) {
    state().consolePath = path;
    openConsole();
}

}  // namespace sim

namespace platform {

std::optional<unsigned> osMajorVersion() { return state().osMajor; }

LocalTime localTime() { return state().time; }

std::optional<std::wstring> systemDirectory() { return state().systemDirectory; }

void removeCurrentDirectoryFromDllSearch() { state().events.push_back("dll search"); }

std::uint32_t tickMilliseconds() { return static_cast<std::uint32_t>(state().now); }

RunLockResult acquireRunLock(unsigned milliseconds) {
    SystemState& s = state();
    if (s.stop) return RunLockResult{RunLock::Stopped, 0};  // even where the lock is free
    if (s.lockError != 0) return RunLockResult{RunLock::Unavailable, s.lockError};
    if (s.lockForeign) return RunLockResult{RunLock::Foreign, 0};
    if (s.otherRunUntil > s.now) {
        if (s.otherRunUntil - s.now > milliseconds) {
            sleepMilliseconds(milliseconds);
            return RunLockResult{s.stop ? RunLock::Stopped : RunLock::TimedOut, 0};
        }
        sleepMilliseconds(static_cast<unsigned>(s.otherRunUntil - s.now));  // that run is over
        if (s.stop) return RunLockResult{RunLock::Stopped, 0};
    }
    s.lockHeld = true;
    s.events.push_back("lock");
    return RunLockResult{RunLock::Held, 0};
}

unsigned long releaseRunLock() {
    if (!state().lockHeld) return 0;
    state().events.push_back("unlock");
    state().lockHeld = false;
    return state().unlockError;
}

void sleepMilliseconds(unsigned milliseconds) {
    SystemState& s = state();
    s.sleeps.push_back(milliseconds);
    // Up to each scheduled moment in turn: a stop there ends the sleep.
    const std::uint64_t target = s.now + milliseconds;
    while (!s.stop && !s.scheduled.empty() && s.scheduled.begin()->first < target) {
        sim::advanceMilliseconds(std::max(s.scheduled.begin()->first, s.now) - s.now);
    }
    if (!s.stop) sim::advanceMilliseconds(target - s.now);
}

bool stopRequested() { return state().stop; }

std::uint32_t randomNumber() { return state().random; }

std::optional<std::wstring> executablePath() { return std::wstring(L"C:\\Program Files\\addrsmith\\addrsmith.exe"); }

void redirectOutputToLog(const std::wstring& logPath) {
    closeCurrent();
    state().current = std::fopen(narrowPath(logPath).c_str(), "a");
    state().redirected = true;
    state().events.push_back("log");
}

void restoreConsoleOutput() { openConsole(); }

std::FILE* output() { return state().current; }

void writeSerialConsole(const std::string& text) { state().events.push_back("serial " + text); }

void reportEvent(const std::wstring& source, EventType type, unsigned eventId,
                 const std::vector<std::wstring>& strings) {
    std::string event = "event " + narrowPath(source) + (type == EventType::Error     ? ", error "
                                                 : type == EventType::Warning ? ", warning "
                                                                              : ", information ") +
                        std::to_string(eventId) + ":";
    for (const std::wstring& text : strings) event += (&text == &strings[0] ? " " : " | ") + narrowPath(text);
    state().events.push_back(event);
}

void waitForKey() {
    ++state().keyWaits;
    state().events.push_back("key");
}

}  // namespace platform

namespace platform {

unsigned long runAsService(const std::wstring&, const std::function<int()>& work) {
    if (state().dispatchError != 0) return state().dispatchError;
    work();
    return 0;
}

InstallResult installService(const ServiceDefinition& service) {
    state().events.push_back("install " + narrowPath(service.commandLine));
    const bool exists = state().installError == 1073;  // updated in place, as the real layer does
    return InstallResult{exists ? 0 : state().installError, exists};
}

bool onlyTrustedMayChange(const std::wstring& path) { return path != state().changeableByOthers; }

RemoveResult removeService(const std::wstring&, unsigned) {
    state().events.push_back("remove");
    return state().removeResult;
}

}  // namespace platform
