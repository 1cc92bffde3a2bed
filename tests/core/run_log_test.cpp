#include <gtest/gtest.h>

#include <clocale>

#include "core/run_log.h"
#include "support/sim_test.h"

TEST(RunLogStamps, HoursMinutesAndSecondsArePaddedWithBlanks) {
    const platform::LocalTime early{2026, 3, 4, 5, 6, 7};
    EXPECT_EQ(startStamp(early), "start time 2026-3-4, 5: 6: 7\n");
    EXPECT_EQ(endStamp(early), "end time 2026-3-4, 5: 6: 7\n\n");

    const platform::LocalTime late{2026, 12, 31, 23, 59, 58};
    EXPECT_EQ(startStamp(late), "start time 2026-12-31,23:59:58\n");
    EXPECT_EQ(endStamp({2027, 1, 1, 0, 0, 0}), "end time 2027-1-1, 0: 0: 0\n\n");
}

class RunLog : public SimTest {};

TEST_F(RunLog, WideAndNarrowLinesLandInOrderInOneFile) {
    logWide(L"config main ip=%ls\n", L"10.0.0.5");
    logNarrow("vecIps.size:%d\n", 2);
    logWide(L"retry find adapters retrycount=%d\n", 7);
    logNarrow("current config AdapterName: %s\n", "{4D36E972}");
    EXPECT_EQ(logText(),
              "config main ip=10.0.0.5\n"
              "vecIps.size:2\n"
              "retry find adapters retrycount=7\n"
              "current config AdapterName: {4D36E972}\n");
}

TEST_F(RunLog, LongLinesAreWrittenWhole) {
    const std::wstring longText(5000, L'a');
    logWide(L"%ls\n", longText.c_str());
    EXPECT_EQ(logText(), std::string(5000, 'a') + "\n");
}

TEST_F(RunLog, WideTextFollowsTheLocale) {
    // In the "C" locale a character outside ASCII cannot be written: it is
    // replaced rather than dropping the rest of the line.
    std::setlocale(LC_ALL, "C");
    logWide(L"name=%ls end\n", L"Ethernet \u00e9");
    EXPECT_EQ(logText(), "name=Ethernet ? end\n");

    if (std::setlocale(LC_ALL, "C.UTF-8") != nullptr) {
        logWide(L"%ls\n", L"\u00e9");
        EXPECT_EQ(logText(), "name=Ethernet ? end\n\xc3\xa9\n");
    }
    std::setlocale(LC_ALL, "C");
}
