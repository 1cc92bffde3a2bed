// The real Windows layer of the run log and the version query.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/run_log.h"
#include "platform/system.h"

namespace {
std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}
}  // namespace

TEST(WinSystem, VersionAndClockAreThoseOfARealSystem) {
    const auto major = platform::osMajorVersion();
    ASSERT_TRUE(major.has_value());
    EXPECT_GE(*major, 5u);
    const platform::LocalTime now = platform::localTime();
    EXPECT_GE(now.year, 2020);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_LE(now.hour, 23);
}

// Runs last in its own ctest entry: once standard output has been handed back
// to the console, the test's own report is no longer visible.
TEST(WinRunLog, WideAndNarrowLinesShareOneAppendedFile) {
    const char* path = "addrsmith_runlog_test.log";
    std::remove(path);
    {
        std::ofstream seed(path, std::ios::binary);
        seed << "earlier block\n";
    }
    std::setlocale(LC_ALL, "");
    platform::redirectOutputToLog(L"addrsmith_runlog_test.log");
    logWide(L"wide %ls=%d\n", L"adapter", 7);
    logNarrow("narrow %s:%d\n", "vecMacs.size", 2);
    logWide(L"wide again\n");
    logFlush();
    platform::restoreConsoleOutput();

    const std::string text = slurp(path);
    std::remove(path);
    // Text mode: the C runtime ends every line with CR LF on disk.
    if (text != "earlier block\nwide adapter=7\r\nnarrow vecMacs.size:2\r\nwide again\r\n") {
        std::fprintf(stderr, "unexpected log contents:\n%s\n", text.c_str());
        FAIL();
    }
}
