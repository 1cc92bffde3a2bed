// The command runner with real child processes: one that ends, one that
// outlives every wait, one whose program does not exist.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>

#include "core/command_runner.h"
#include "core/run_log.h"
#include "platform/process.h"
#include "platform/system.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The run log is a text stream: on Windows its lines end in CRLF.
std::string withoutCr(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') out.push_back(c);
    }
    return out;
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// The sleeper as Windows names it (Wine shows the host's root as Z:).
std::string sleeperPath() {
    const char* unixPath = std::getenv("ADDRSMITH_SLEEPER");
    if (unixPath == nullptr) return std::string();
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Runs the command (its program is its first word) through the runner with
// standard output on a fresh log; returns the log.
std::string runLogged(const std::string& command, const std::string& logName) {
    std::remove(logName.c_str());
    std::setlocale(LC_ALL, "");
    platform::redirectOutputToLog(widen(logName));
    wchar_t buffer[260] = {};
    std::swprintf(buffer, 260, L"%ls", widen(command).c_str());
    runCommand(widen(command.substr(0, command.find(' '))), buffer);
    logFlush();
    platform::restoreConsoleOutput();
    // gtest's own report now goes to the console, so the log is shown where
    // ctest sees it.
    const std::string text = withoutCr(slurp(logName));
    std::fprintf(stderr, "run log:\n%s", text.c_str());
    return text;
}

std::string counts(const std::string& command, int upTo) {
    std::string lines;
    for (int i = 1; i <= upTo; ++i) lines += "wait " + command + "  count=" + std::to_string(i) + "\n";
    return lines;
}

}  // namespace

TEST(WinProcess, ChildThatEndsIsWaitedForAndSawItsCommandInTheLog) {
    const std::string sleeper = sleeperPath();
    ASSERT_FALSE(sleeper.empty());
    const std::string marker = "addrsmith_ends.marker";
    const std::string log = "addrsmith_ends.log";
    std::remove(marker.c_str());
    const std::string command = sleeper + " 200 " + marker + " " + log;

    const std::string text = runLogged(command, log);
    EXPECT_EQ(text, command + "\nwait " + command + "  successfully\n");
    ASSERT_TRUE(exists(marker));  // it really ran, and to its end
    EXPECT_EQ(withoutCr(slurp(marker)), command + "\n");  // the log line was there when it started
    std::remove(marker.c_str());
    std::remove(log.c_str());
}

TEST(WinProcess, ChildThatOutlivesTheWaitsIsGivenUpAndLeftRunning) {
    const std::string sleeper = sleeperPath();
    ASSERT_FALSE(sleeper.empty());
    const std::string marker = "addrsmith_outlives.marker";
    const std::string log = "addrsmith_outlives.log";
    std::remove(marker.c_str());
    const std::string command = sleeper + " 36000 " + marker;

    const auto start = std::chrono::steady_clock::now();
    const std::string text = runLogged(command, log);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count() /
        1000.0;
    EXPECT_EQ(text, command + "\n" + counts(command, 15) + "wait " + command + "  timed out\n");
    EXPECT_GE(seconds, 29.5);
    EXPECT_LT(seconds, 35.0);
    EXPECT_FALSE(exists(marker));  // not stopped, but not ended yet either
    std::fprintf(stderr, "given up after %.1f s\n", seconds);
    std::remove(log.c_str());
}

TEST(WinProcess, ProgramThatDoesNotExistLogsTheNarrowErrorLine) {
    const std::string command = "addrsmith_no_such_program.exe /x";
    const std::string text = runLogged(command, "addrsmith_missing.log");
    EXPECT_EQ(text, command + "\nCreateProcess failed (2)\n");
    std::remove("addrsmith_missing.log");
}

TEST(WinProcess, PlatformLayerReportsEndTimeOutAndUnknownChildren) {
    const std::string sleeper = sleeperPath();
    ASSERT_FALSE(sleeper.empty());
    const std::string marker = "addrsmith_platform.marker";
    const platform::StartResult started =
        platform::startHiddenChild(widen(sleeper), widen("sleeper 1500 " + marker));
    ASSERT_TRUE(started.child.has_value());
    EXPECT_EQ(platform::waitForChild(*started.child, 10), platform::WaitOutcome::TimedOut);
    EXPECT_EQ(platform::waitForChild(*started.child, 10000), platform::WaitOutcome::Ended);
    EXPECT_TRUE(exists(marker));
    platform::releaseChild(*started.child);
    EXPECT_EQ(platform::waitForChild(*started.child, 10), platform::WaitOutcome::Failed);
    std::remove(marker.c_str());

    const platform::StartResult missing =
        platform::startHiddenChild(L"Z:\\no\\such\\program.exe", L"program.exe");
    EXPECT_FALSE(missing.child.has_value());
    EXPECT_NE(missing.errorCode, 0ul);
}
