#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/entry.h"
#include "core/settings.h"
#include "sim/commands.h"
#include "sim/sim.h"
#include "support/sim_test.h"

namespace {

const char* kPreflightFailure =
    "start time 2026-3-4, 5: 6: 7\n"
    "starting config ip address\n"
    "config file not exist\n"
    "config file error , enable local network fail\n"
    "configure end\n"
    "end time 2026-3-4, 5: 6: 7\n"
    "\n";

class Driver : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        // The fixture captures stray lines in the run log; a run starts
        // from a log that does not exist yet.
        std::remove(logPath.c_str());
        sim::setLocalTime({2026, 3, 4, 5, 6, 7});
    }
};

}  // namespace

TEST_F(Driver, MissingSavedFileEndsTheRunBeforeAnythingIsFetched) {
    EXPECT_EQ(runEntry(), 0);

    EXPECT_EQ(readFile(logPath), kPreflightFailure);
    EXPECT_EQ(consoleText(), "set netcard info fail, detail log in " + logPath + "\n");
    EXPECT_TRUE(sim::httpRequests().empty());
    EXPECT_TRUE(sim::commandsStarted().empty());
    EXPECT_EQ(sim::keyWaits(), 1u);
}

TEST_F(Driver, EachRunAppendsItsOwnBlock) {
    EXPECT_EQ(runConfiguration(), -1);
    sim::setLocalTime({2026, 11, 30, 14, 0, 9});
    EXPECT_EQ(runConfiguration(), -1);

    const std::string second =
        "start time 2026-11-30,14: 0: 9\n"
        "starting config ip address\n"
        "config file not exist\n"
        "config file error , enable local network fail\n"
        "configure end\n"
        "end time 2026-11-30,14: 0: 9\n"
        "\n";
    EXPECT_EQ(readFile(logPath), std::string(kPreflightFailure) + second);
}

TEST_F(Driver, NoUsableMetadataFailsWithoutTouchingTheSavedFile) {
    const std::string ini = "[eth0]\nGATEWAY=10.0.0.1\n";
    writeFile(iniPath, ini);
    // Nothing answers at the metadata address.

    EXPECT_EQ(runEntry(), 0);

    const std::string log = readFile(logPath);
    const std::string route = "route add 169.254.0.0 mask 255.255.128.0 10.0.0.1\n";
    const std::string fetchFailed = "get main mac error url:http://169.254.0.254/meta-data/mac\n";
    const std::string noInfo = "config file error , no configure information\n";
    const std::size_t atRoute = log.find(route);
    const std::size_t atFetch = log.find(fetchFailed);
    const std::size_t atNoInfo = log.find(noInfo);
    ASSERT_NE(atRoute, std::string::npos) << log;
    ASSERT_NE(atFetch, std::string::npos) << log;
    ASSERT_NE(atNoInfo, std::string::npos) << log;
    EXPECT_LT(atRoute, atFetch);
    EXPECT_LT(atFetch, atNoInfo);
    EXPECT_EQ(log.substr(atNoInfo + noInfo.size()),
              "configure end\nend time 2026-3-4, 5: 6: 7\n\n");

    // Neither matching nor the check nor the writer ran.
    EXPECT_EQ(sim::adapterQueries(), 0u);
    EXPECT_EQ(readFile(iniPath), ini);
    EXPECT_FALSE(fileExistsOnDisk(backupPath));
    EXPECT_EQ(consoleText(), "set netcard info fail, detail log in " + logPath + "\n");
}

TEST_F(Driver, LegacyFlagFollowsTheSystemVersion) {
    sim::setOsMajorVersion(5u);
    runEntry();
    EXPECT_EQ(legacyOs, 1);

    legacyOs = 0;
    sim::setOsMajorVersion(6u);
    runEntry();
    EXPECT_EQ(legacyOs, 0);

    sim::setOsMajorVersion(std::nullopt);  // the query failed
    runEntry();
    EXPECT_EQ(legacyOs, 0);
}

TEST_F(Driver, UnopenableLogLosesTheLinesButNotTheConsoleLine) {
    settings().runLog = widen(dir + "/no-such-folder/ipconfig_addrsmith.log");
    EXPECT_EQ(runEntry(), 0);
    EXPECT_EQ(consoleText(), "set netcard info fail, detail log in " + dir +
                                 "/no-such-folder/ipconfig_addrsmith.log\n");
    EXPECT_FALSE(fileExistsOnDisk(dir + "/no-such-folder"));
}

TEST_F(Driver, OneRunAtATime) {
    struct Case {
        const char* name;
        std::function<void()> script;
        std::uint64_t waited;     // simulated time spent waiting for the other run
        const char* lockLine;     // the block's line about the lock, if any
        bool lockTaken;
        const char* consoleLine = "";  // after the closing line
    };
    const Case cases[] = {
        {"no other run", [] {}, 0, nullptr, true},
        {"another run ends after 5 s", [] { sim::setOtherRunHolds(5000u); }, 5000, nullptr, true},
        // A stuck run must not keep this one from configuring the machine.
        {"another run never ends", [] { sim::setOtherRunHolds(std::nullopt); }, 900000,
         "another run still held the run lock after 900 s, going ahead\n", false},
        {"no lock to be had", [] { sim::setRunLockUnavailable(5); }, 0,
         "run lock unavailable (error 5), going ahead without it\n", false},
        // Another account's may be held for ever: not waited for.
        {"a user's lock", [] { sim::setRunLockForeign(); }, 0,
         "run lock made by an account that is not an administrator, going ahead without it\n", false},
        {"lock not let go", [] { sim::setRunLockReleaseRefused(288); }, 0, nullptr, true,
         "run lock not let go (error 288), later runs wait until this one ends\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::resetSystem();
        sim::setLocalTime({2026, 3, 4, 5, 6, 7});
        sim::setConsoleFile(consolePath);
        std::remove(logPath.c_str());
        std::remove(consolePath.c_str());
        settings().version = L"7.8.9";
        c.script();
        const std::size_t eventsBefore = sim::systemEvents().size();

        EXPECT_EQ(runEntry(), 0);

        EXPECT_EQ(sim::nowMilliseconds(), c.waited);
        // The current directory leaves the library search before anything
        // else; the lock covers the whole block, the closing line, its copy
        // on the serial port and the event, not "pause".
        const std::vector<std::string> events(sim::systemEvents().begin() + eventsBefore,
                                              sim::systemEvents().end());
        const std::string closing = "set netcard info fail, detail log in " + logPath;
        const std::string serial = "serial addrsmith 7.8.9: " + closing + "\r\n";
        const std::string event = "event addrsmith, error 2: " + closing + " | " + logPath + " | 7.8.9";
        std::vector<std::string> want{"dll search", "lock", "log", "console", serial, event, "unlock", "key"};
        if (!c.lockTaken) want = {"dll search", "log", "console", serial, event, "key"};
        EXPECT_EQ(events, want);
        // Whatever the wait gave, the run itself goes its usual way.
        std::string block = kPreflightFailure;
        if (c.lockLine != nullptr) {
            const std::string after = "starting config ip address\n";
            block.insert(block.find(after) + after.size(), c.lockLine);
        }
        EXPECT_EQ(readFile(logPath), block);
        EXPECT_EQ(consoleText(), closing + "\n" + c.consoleLine);
    }
}

TEST_F(Driver, MetadataServiceAwaitedOnlyWhileItGivesNoAnswerOrABusyOne) {
    const std::string route = "route add 169.254.0.0 mask 255.255.128.0 10.0.0.1\n";
    const std::string routeLines = route + "wait " + route.substr(0, route.size() - 1) +
                                   "  successfully\n";
    const std::string waiting = "no answer from the metadata service, waiting up to 120 s for it\n";
    const std::string busy = "metadata service busy (HTTP 503), waiting up to 120 s for it\n";
    std::string routes;
    for (int i = 0; i < 9; ++i) routes += routeLines;  // 12, 24, ... 108 s, then no more room
    const std::string gaveUp = "get main mac error url:http://169.254.0.254/meta-data/mac\n";
    const char* mac = "52:54:00:00:00:01";
    const std::string answered = "main mac=" + std::string(mac) + "\nvecMacs.size:0\n";
    const auto answeredAfter = [&](int s) {
        return "metadata service answered " + std::to_string(s) + " s after the first request\n" + answered;
    };
    const std::string unreachable =
        waiting + routes + "metadata service still unreachable 120 s after the first request\n" + gaveUp;
    std::vector<std::uint64_t> routeTimes{0};
    for (std::uint64_t t = 12000; t <= 108000; t += 12000) routeTimes.push_back(t);

    struct Case {
        const char* name;
        std::uint64_t answersFrom;       // simulated time the service starts answering
        unsigned unansweredMilliseconds;  // what one unanswered try costs
        const char* answer;              // what it answers then
        std::string lines;               // the block between the route and the driver's line
        std::size_t requests;
        std::uint64_t endsBy;            // simulated time the run is over by
        unsigned status = 200;           // of the answer
        unsigned busyStatus = 0;         // before answersFrom, instead of no answer
        std::optional<std::uint64_t> retryAfter = std::nullopt;
    };
    const Case cases[] = {
        {"answers at once", 0, 0, mac, answered, 2, 0},
        // Tries at 0, 1.5, 3 and 4.5 s.
        {"answers after 4 s", 4000, 0, mac, waiting + answeredAfter(5), 5, 4500},
        // Each unanswered try takes 3 s, so the next follows at once.
        {"answers after 4 s, tries of 3 s", 4000, 3000, mac, waiting + answeredAfter(6), 4, 6000},
        {"busy for 4 s", 4000, 0, mac, busy + answeredAfter(5), 5, 4500, 200, 503},
        // Asked again as late as the service says, 3 s.
        {"busy for 4 s, retry after 3 s", 4000, 0, mac, busy + answeredAfter(6), 4, 6000, 200, 503, 3},
        // An error page is an answer: taken at once, as it is.
        {"error page", 0, 0, "<h1>404</h1>", "main mac=<h1>404</h1>\nmain mac error\n", 1, 0, 404},
        {"never answers", UINT64_MAX, 0, "", unreachable, 80, 120000},
        // No try starts after the bound, counted from the first request.
        {"never answers, tries of 3 s", UINT64_MAX, 3000, "", unreachable, 40, 120000},
        {"busy for good", UINT64_MAX, 0, "",
         busy + routes + "metadata service still busy (HTTP 503) 120 s after the first request\n" + gaveUp,
         80, 120000, 200, 503},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        sim::setLocalTime({2026, 3, 4, 5, 6, 7});
        std::remove(logPath.c_str());
        writeFile(iniPath, "[eth0]\nGATEWAY=10.0.0.1\n");
        sim::HttpAnswer mainMac;
        mainMac.body = c.answer;
        mainMac.answersFrom = c.answersFrom;
        mainMac.unansweredMilliseconds = c.unansweredMilliseconds;
        mainMac.status = c.status;
        mainMac.busyStatus = c.busyStatus;
        mainMac.retryAfterSeconds = c.retryAfter;
        sim::setHttpAnswer(L"http://169.254.0.254/meta-data/mac", mainMac);
        sim::setHttpBody(L"http://169.254.0.254/meta-data/network/interfaces/macs/",
                         "52:54:00:00:00:01/\n");

        EXPECT_EQ(runConfiguration(), -1);

        EXPECT_EQ(readFile(logPath), "start time 2026-3-4, 5: 6: 7\nstarting config ip address\n" +
                                         routeLines + c.lines +
                                         "config file error , no configure information\n"
                                         "configure end\nend time 2026-3-4, 5: 6: 7\n\n");
        EXPECT_EQ(sim::httpRequests().size(), c.requests);
        EXPECT_EQ(sim::nowMilliseconds(), c.endsBy);
        // The route again every 12 s, the last time within the wait's final 15 s.
        if (c.endsBy == 120000) {
            EXPECT_EQ(sim::commandStartTimes(), routeTimes);
        }
        EXPECT_EQ(readFile(iniPath), "[eth0]\nGATEWAY=10.0.0.1\n");
        EXPECT_FALSE(fileExistsOnDisk(backupPath));
    }
}

TEST_F(Driver, CommandLineOfTheServiceAndEverythingElseRunsAsAtBoot) {
    const std::string path = "\"C:\\Program Files\\addrsmith\\addrsmith.exe\" --service";
    const std::string installed = "service addrsmith installed (starts at the next boot, or now with: sc start addrsmith): ";
    const platform::RemoveResult removed, notStopped{0, false}, missing{1060, true};
    struct Case {
        std::vector<std::string> arguments;
        unsigned long dispatchError, installError;
        platform::RemoveResult remove;
        int status;
        std::string output;  // its first line; "" for a run as at boot
        std::wstring changeable = L"";  // a folder or file others may change
    };
    const Case cases[] = {
        {{"--install-service"}, 0, 0, removed, 0, installed + path},
        {{"--interval", "120", "--Install-Service"}, 0, 0, removed, 0, installed + path + " --interval 120"},
        {{"--install-service"}, 0, 5, removed, 1, "service addrsmith not installed: run it from an elevated prompt (error 5)"},
        {{"--install-service", "--interval", "300"}, 0, 1073, removed, 0,
         "service addrsmith updated (a running service goes on as it was until it next starts: sc stop addrsmith, "
         "then sc start addrsmith, or the next boot): " + path + " --interval 300"},
        {{"--install-service"}, 0, 0, removed, 2,
         "service addrsmith not installed: C:\\Program Files\\addrsmith can be changed by an account other than "
         "SYSTEM, Administrators or TrustedInstaller, which would then run its own code as SYSTEM; install from a "
         "folder only they can change, such as C:\\Program Files\\addrsmith", L"C:\\Program Files\\addrsmith"},
        {{"--install-service", "--interval", "4"}, 0, 0, removed, 2,
         "--interval takes a whole number of seconds from 5 to 3600, not \"4\""},
        {{"--install-service", "--interval"}, 0, 0, removed, 2, "--interval takes a whole number of seconds from 5 to 3600, not \"\""},
        {{"--install-service", "now"}, 0, 0, removed, 2, "unknown argument \"now\" (see --help)"},
        {{"--install-service", "--remove-service"}, 0, 0, removed, 2,
         "--install-service, --remove-service and --service go alone (see --help)"},
        {{"--remove-service"}, 0, 0, removed, 0, "service addrsmith stopped and removed"},
        {{"--remove-service"}, 0, 0, missing, 1, "service addrsmith not removed: it is not installed (error 1060)"},
        {{"--remove-service"}, 0, 0, notStopped, 1,
         "service addrsmith removed, but still running after 60 s: it goes once it has stopped"},
        {{"--service"}, 1063, 0, removed, 1,
         "--service is for the service manager; start the service with: sc start addrsmith (error 1063)"},
        {{"/?"}, 0, 0, removed, 0, "addrsmith 7.8.9: the static IPv4 settings of this machine's additional network adapters, as the cloud platform's instance-metadata service lists them"},
        {{"--interval", "4", "/quiet"}, 0, 0, removed, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.output);
        sim::resetSystem();
        sim::setLocalTime({2026, 3, 4, 5, 6, 7});
        sim::setConsoleFile(consolePath);
        std::remove(logPath.c_str());
        platform::redirectOutputToLog(settings().runLog);
        settings().version = L"7.8.9";
        sim::setServiceErrors(c.dispatchError, c.installError, c.remove);
        sim::setChangeableByOthers(c.changeable);

        EXPECT_EQ(programMain(c.arguments), c.status);

        const std::string output = logText();
        EXPECT_EQ(output.substr(0, output.find('\n')), c.output.empty() ? "start time 2026-3-4, 5: 6: 7" : c.output);
        EXPECT_EQ(sim::keyWaits(), c.output.empty() ? 1u : 0u);
    }
}
