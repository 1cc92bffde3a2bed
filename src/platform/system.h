// The operating system's version, clock, sleeping, console and key wait.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace platform {

// Major version of the running operating system, or nothing when the
// version query fails.
std::optional<unsigned> osMajorVersion();

struct LocalTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

LocalTime localTime();

// The system's own folder (its programs: netsh, route), or nothing when the
// query fails.
std::optional<std::wstring> systemDirectory();

// Takes the current directory out of the places libraries are loaded from
// for the rest of the run.
void removeCurrentDirectoryFromDllSearch();

// Ends at once when a stop has been asked for (see stopRequested).
void sleepMilliseconds(unsigned milliseconds);

// True once the service manager has asked the program to stop (a stop, or
// the machine shutting down); never in a run started any other way. Waits
// end early then, and the steps ask this to end without applying more.
bool stopRequested();

// A number from the system's random source, so that machines started at the
// same moment do not all ask the metadata service in step.
std::uint32_t randomNumber();

// The program's own full path, or nothing when the query fails.
std::optional<std::wstring> executablePath();

// A millisecond count that only moves forward while the program runs; it
// wraps after about 49 days, so only differences of it mean anything.
std::uint32_t tickMilliseconds();

// One run of the program at a time on the machine. The lock is held for the
// whole machine (every session), given up by the system when a run holding
// it dies, and only the system account and administrators can make or hold
// it.
enum class RunLock {
    Held,         // taken; hold it until releaseRunLock
    TimedOut,     // another run still held it when the wait ran out
    Stopped,      // a stop was asked for while waiting: do not run
    Unavailable,  // the lock could not be made or waited on at all
    Foreign       // made by another account, or open to one: not waited for
};
struct RunLockResult {
    RunLock outcome = RunLock::Unavailable;
    unsigned long errorCode = 0;  // the system's code, with Unavailable
};
// Waits at most `milliseconds` for any other run to let the lock go, less
// when a stop is asked for meanwhile. Once a stop has been asked for it is
// Stopped, even where the lock is free.
RunLockResult acquireRunLock(unsigned milliseconds);
// Lets the lock go (nothing when it is not held). Returns 0, or the
// system's code when it refused: the lock then stays held until the program
// ends.
unsigned long releaseRunLock();

// Points the program's output at the run log (text, append, created when
// missing, shared with other readers and writers). When the file cannot be
// opened the output is left closed and every line written meanwhile is lost.
void redirectOutputToLog(const std::wstring& logPath);

// Closes the run log and gives the output back: what standard output was
// before the run (the console, or the file or pipe a caller captures it in).
void restoreConsoleOutput();

// The stream that standard output currently is, or nullptr while it is
// closed. Every line the program prints goes through here.
std::FILE* output();

// Waits for a key press at the console ("pause").
void waitForKey();

}  // namespace platform
