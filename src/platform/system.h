// The operating system's version, clock, sleeping, console and key wait.
#pragma once

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

void sleepMilliseconds(unsigned milliseconds);

// Points the program's output at the run log (text, append, created when
// missing, shared with other readers and writers). When the file cannot be
// opened the output is left closed and every line written meanwhile is lost.
void redirectOutputToLog(const std::wstring& logPath);

// Closes the run log and points the output back at the console.
void restoreConsoleOutput();

// The stream that standard output currently is, or nullptr while it is
// closed. Every line the program prints goes through here.
std::FILE* output();

// Waits for a key press at the console ("pause").
void waitForKey();

}  // namespace platform
