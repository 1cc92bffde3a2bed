// Whole runs on the simulated machine: metadata in, netsh out, the check
// and the saved configuration file at the end.
#include <functional>
#include <sstream>

#include "adapters/test_records.h"
#include "app/driver.h"
#include "app/entry.h"
#include "core/settings.h"
#include "sim/commands.h"
#include "support/sim_test.h"

namespace {

const std::wstring kBase = L"http://169.254.0.254/meta-data";
const std::wstring kMacs = kBase + L"/network/interfaces/macs/";
const std::string kIni = "[eth0]\r\nGATEWAY=10.0.0.1\r\n";

std::vector<std::uint8_t> kMainMac{0x52, 0x54, 0x00, 0x00, 0x00, 0x01};

class WholeRunTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        writeFile(iniPath, kIni);
        sim::setHttpBody(kBase + L"/mac", "52:54:00:00:00:01");
        sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n52:54:00:01:02:03/\n");
        // The primary address is listed second; it must still lead.
        serve(L"52:54:00:ab:cd:ef", "10.0.1.5", "10.0.1.6/\n10.0.1.5/\n", "10.0.1.1",
              "255.255.255.0");
        serve(L"52:54:00:01:02:03", "10.0.2.5", "10.0.2.5/\n", "10.0.2.1", "255.255.0.0");

        sim::setAdapters({adapterWith(L"Ethernet", kMainMac, {"10.0.0.5"}, 24, "10.0.0.1"),
                          adapterWith(L"Ethernet 2", kMacA, {"192.168.5.5"}, 24, "192.168.5.1")});
        // The second adapter shows up during the first wait.
        sim::addAdapterFromQuery(2, adapterWith(L"Ethernet 3", kMacB, {}, 0, ""));
    }

    void serve(const std::wstring& mac, const std::string& primary, const std::string& ips,
               const std::string& gateway, const std::string& mask) {
        const std::wstring at = kMacs + mac + L"/";
        sim::setHttpBody(at + L"primary-local-ipv4/", primary);
        sim::setHttpBody(at + L"local-ipv4s/", ips);
        sim::setHttpBody(at + L"local-ipv4s/" + widen(primary) + L"/gateway", gateway);
        sim::setHttpBody(at + L"local-ipv4s/" + widen(primary) + L"/subnet-mask", mask);
    }

    bool ranCommandNaming(const std::wstring& name) {
        for (const std::wstring& c : sim::commandsStarted()) {
            if (c.find(L"name=\"" + name + L"\"") != std::wstring::npos) return true;
        }
        return false;
    }
};

TEST_F(WholeRunTest, MetadataToVerifiedSettingsAndSavedFile) {
    settings().version = L"7.8.9";
    EXPECT_EQ(runEntry(), 0);

    EXPECT_EQ(consoleText(), "set netcard info success\n");
    ASSERT_GE(sim::systemEvents().size(), 3u);  // ..., the event, "unlock", "key"
    EXPECT_EQ(sim::systemEvents().end()[-3],
              "event addrsmith, information 1: set netcard info success | " + logPath + " | 7.8.9");
    EXPECT_EQ(sim::commandsStarted(),
              (std::vector<std::wstring>{
                  L"route add 169.254.0.0 mask 255.255.128.0 10.0.0.1",
                  kSetPrefix + L"Ethernet 2\" static 10.0.1.5 255.255.255.0 10.0.1.1",
                  kAddPrefix + L"Ethernet 2\" 10.0.1.6 255.255.255.0",
                  kSetPrefix + L"Ethernet 3\" static 10.0.2.5 255.255.0.0 10.0.2.1"}));
    // Its first look finds it, which ends the wait after a second.
    EXPECT_EQ(sim::sleepsTaken(), (std::vector<unsigned>{1000}));
    EXPECT_EQ(sim::adapterQueries(), 4u);  // a pass, the look, a pass and the check

    // The machine's own adapter was left as it was.
    const platform::AdapterEntry& own = sim::adapters()[0];
    ASSERT_EQ(own.unicast.size(), 1u);
    EXPECT_EQ(own.unicast[0].address, sim::ipv4("10.0.0.5"));

    const std::string log = logText();
    const std::size_t retry = log.find("retry find adapters retrycount=1\n");
    const std::size_t applying = log.find("start set config ip submask gateway...\n");
    const std::size_t end = log.find("configure end\n");
    ASSERT_NE(retry, std::string::npos);
    ASSERT_NE(applying, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LT(retry, applying);
    EXPECT_LT(applying, end);
    // The check's own look at the adapters shows the new settings.
    EXPECT_NE(log.find("current config ip=10.0.1.5\ncurrent config mask=255.255.255.0\n"
                       "current config ip=10.0.1.6\ncurrent config mask=255.255.255.0\n"
                       "current config gateway=10.0.1.1\n"),
              std::string::npos);

    const std::string ini = readFile(iniPath);
    EXPECT_NE(ini.find("[eth:52:54:00:AB:CD:EF]"), std::string::npos);
    EXPECT_NE(ini.find("ip=10.0.1.5,10.0.1.6"), std::string::npos);
    EXPECT_NE(ini.find("[eth:52:54:00:01:02:03]"), std::string::npos);
    EXPECT_NE(ini.find("mask=255.255.0.0"), std::string::npos);
    EXPECT_EQ(ini.find("52:54:00:00:00:01"), std::string::npos);
    EXPECT_EQ(readFile(backupPath), kIni);
}

TEST_F(WholeRunTest, OlderSystemsUseTheGatewayMetricFormAndStillSucceed) {
    sim::setOsMajorVersion(5u);
    EXPECT_EQ(runEntry(), 0);
    EXPECT_EQ(consoleText(), "set netcard info success\n");
    ASSERT_GE(sim::commandsStarted().size(), 2u);
    EXPECT_EQ(sim::commandsStarted()[1],
              kSetPrefix + L"Ethernet 2\" static 10.0.1.5 255.255.255.0 10.0.1.1 gwmetric=1");
}

TEST_F(WholeRunTest, SettingsThatDoNotTakeEffectFailTheRunAndKeepTheFile) {
    sim::setNetshApplies(false);
    EXPECT_EQ(runEntry(), 0);

    EXPECT_EQ(consoleText(), "set netcard info fail, detail log in " + logPath + "\n");
    EXPECT_TRUE(ranCommandNaming(L"Ethernet 2"));  // the commands ran, to no effect
    EXPECT_EQ(readFile(iniPath), kIni);
    EXPECT_FALSE(fileExistsOnDisk(backupPath));
    const std::string log = logText();
    EXPECT_EQ(log.find("config file error"), std::string::npos);  // the check has no line
    EXPECT_NE(log.find("configure end\n"), std::string::npos);
}

TEST_F(WholeRunTest, AdapterWithAnUnusableNameIsNeverHandedToNetshAndFailsTheRun) {
    const std::wstring quoted = L"Ethernet 3\" static 6.6.6.6 255.0.0.0 6.6.6.1 \"x";
    sim::setAdapters({adapterWith(L"Ethernet", kMainMac, {"10.0.0.5"}, 24, "10.0.0.1"),
                      adapterWith(L"Ethernet 2", kMacA, {"192.168.5.5"}, 24, "192.168.5.1"),
                      adapterWith(quoted, kMacB, {}, 0, "")});
    EXPECT_EQ(runEntry(), 0);

    EXPECT_EQ(consoleText(), "set netcard info fail, detail log in " + logPath + "\n");
    for (const std::wstring& c : sim::commandsStarted()) {
        EXPECT_EQ(c.find(L"6.6.6.6"), std::wstring::npos);
        EXPECT_EQ(c.find(L"Ethernet 3"), std::wstring::npos);
    }
    EXPECT_TRUE(ranCommandNaming(L"Ethernet 2"));  // the other adapter is still configured
    EXPECT_TRUE(sim::sleepsTaken().empty());
    EXPECT_NE(logText().find("adapter mac=52-54-00-01-02-03 not configured: the name holds a "
                             "double quote\n"),
              std::string::npos);
    EXPECT_EQ(readFile(iniPath), kIni);
}

TEST_F(WholeRunTest, MainAdapterInOtherCapitalsIsLeftAloneAndALeftOutAdapterFailsTheRun) {
    // The service names Ethernet 2 as the machine's own adapter in small
    // letters and lists it in capitals; a third listed adapter's gateway is
    // an error page.
    sim::setHttpBody(kBase + L"/mac", "52:54:00:ab:cd:ef");
    sim::setHttpBody(kMacs, "52:54:00:AB:CD:EF/\n52:54:00:01:02:03/\n52:54:00:0a:0b:0c/\n");
    serve(L"52:54:00:0a:0b:0c", "10.0.3.5", "10.0.3.5/\n", "<h1>500</h1>", "255.255.255.0");

    EXPECT_EQ(runEntry(), 0);

    // The others are configured, checked and saved as ever, but the run
    // does not claim the machine is as the service describes it.
    EXPECT_EQ(consoleText(), "set netcard info fail, detail log in " + logPath + "\n");
    EXPECT_FALSE(ranCommandNaming(L"Ethernet 2"));
    EXPECT_TRUE(ranCommandNaming(L"Ethernet 3"));
    const std::string log = logText();
    EXPECT_NE(log.find("vecMacs.size:2\nmac=52:54:00:01:02:03\nmac=52:54:00:0a:0b:0c\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("check gateway addr fail\n"
                       "adapter 52:54:00:0a:0b:0c not configured: its gateway is not an IPv4 address\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("config file error"), std::string::npos);
    const std::string ini = readFile(iniPath);
    EXPECT_NE(ini.find("[eth:52:54:00:01:02:03]"), std::string::npos);
    EXPECT_EQ(ini.find("AB:CD:EF"), std::string::npos);
    EXPECT_EQ(ini.find("0A:0B:0C"), std::string::npos);
    EXPECT_EQ(readFile(backupPath), kIni);
}

// What the system's duplicate detection makes of 10.0.1.5, the address netsh
// sets first on Ethernet 2: `first` once set, `then` from `after` ms on; and
// `before` (unless Preferred), as Ethernet 2 holds it when the run starts.
struct Detection {
    const char* what;
    platform::AddressState before, first;
    std::uint64_t after;
    platform::AddressState then;
    bool succeeds;
    std::size_t looks;  // the check's, half a second apart
    const char* line;   // in the log `times` times
    std::size_t times;
};

class DetectionTest : public WholeRunTest, public ::testing::WithParamInterface<Detection> {};

TEST_P(DetectionTest, OnlyAnAddressInUseIsInEffect) {
    const Detection& c = GetParam();
    SCOPED_TRACE(c.what);
    if (c.before != platform::AddressState::Preferred) {
        sim::adapters()[1] = adapterWith(L"Ethernet 2", kMacA, {"10.0.1.5", "10.0.1.6"}, 24, "10.0.1.1");
        sim::adapters()[1].unicast[0].state = c.before;
    }
    sim::setDetection("10.0.1.5", c.first, c.after, c.then);
    EXPECT_EQ(runEntry(), 0);

    EXPECT_EQ(consoleText() == "set netcard info success\n", c.succeeds);
    EXPECT_EQ(readFile(iniPath) == kIni, !c.succeeds);
    EXPECT_TRUE(ranCommandNaming(L"Ethernet 2"));
    std::vector<unsigned> sleeps(c.looks + 1, 500);
    sleeps[0] = 1000;  // matching's wait for Ethernet 3
    EXPECT_EQ(sim::sleepsTaken(), sleeps);
    EXPECT_EQ(countOf(logText(), c.line), c.times);
}

using S = platform::AddressState;
constexpr const char* kInUse = "current config ip=10.0.1.5\ncurrent config mask=255.255.255.0\n";
constexpr const char* kTentative = "current config ip=10.0.1.5 (tentative, not in effect)\n";
constexpr const char* kDuplicate = "current config ip=10.0.1.5 (duplicate, not in effect)\n";
const Detection kDetections[] = {
    {"preferred", S::Preferred, S::Preferred, 0, S::Preferred, true, 0, kInUse, 1},
    {"tentative, then preferred", S::Preferred, S::Tentative, 1200, S::Preferred, true, 3, kInUse, 1},
    {"tentative for good", S::Preferred, S::Tentative, 0, S::Tentative, false, 30, kTentative, 1},
    {"duplicate after applying", S::Preferred, S::Tentative, 1000, S::Duplicate, false, 2, kDuplicate, 1},
    // Held as a duplicate by both of matching's passes: set again.
    {"duplicate before applying", S::Duplicate, S::Preferred, 0, S::Preferred, true, 0, kDuplicate, 2}};
INSTANTIATE_TEST_SUITE_P(States, DetectionTest, ::testing::ValuesIn(kDetections));

// Whole lives of the service (interval 60 s, no random delay): why it runs,
// the netsh commands (with when they start), its serial lines after the
// first run's; each has ended at the moment of its stop.
struct Life {
    const char* what;
    std::function<void()> script;  // on top of Ethernet 2 listed and stale
    std::uint64_t stopAt;
    std::vector<std::string> reasons;  // the lines saying why a block runs, or ends
    std::vector<std::pair<std::wstring, std::uint64_t>> netsh;  // after the first run's two
    std::vector<std::string> serial;
    std::size_t requests = 0;  // when given
};

const std::string kStarted = "run by the service: it started";
const std::string kChanged = "run by the service: the metadata changed";
const std::string kAgain = "run by the service: again after a failed run";
const std::string kAppeared = "run by the service: adapter 52-54-00-01-02-03 appeared and is listed";
const std::string kStopped = "stop requested, the run ends here";
const std::string kSuccess = "addrsmith 7.8.9: set netcard info success\r\n";
// Up to the run log's path, which is the test's own.
const std::string kFailure = "addrsmith 7.8.9: set netcard info fail, detail log in ";
const std::wstring kSetA = L"address name=\"Ethernet 2\" static 10.0.1.5 255.255.255.0 10.0.1.1";
const std::wstring kAddA = L"address name=\"Ethernet 2\" 10.0.1.6 255.255.255.0";
const std::wstring kSetB = L"address name=\"Ethernet 3\" static 10.0.2.5 255.255.0.0 10.0.2.1";
void listBoth() { sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n52:54:00:01:02:03/\n"); }
void attachB(std::uint64_t at) { sim::addAdapterAtTime(at, adapterWith(L"Ethernet 3", kMacB, {}, 0, "")); }
void answer(const std::wstring& url, unsigned status, const char* body, bool reached = true) {
    sim::HttpAnswer a;
    a.kind = reached ? sim::HttpAnswer::Kind::Body : sim::HttpAnswer::Kind::Unreachable;
    a.status = status;
    a.body = body;
    sim::setHttpAnswer(url, a);
}

class ServiceLife : public WholeRunTest, public ::testing::WithParamInterface<Life> {};

TEST_P(ServiceLife, RunsOnlyForAChangeAndStopsAtOnce) {
    const Life& c = GetParam();
    SCOPED_TRACE(c.what);
    sim::resetAdapters();
    sim::setAdapters({adapterWith(L"Ethernet", kMainMac, {"10.0.0.5"}, 24, "10.0.0.1"),
                      adapterWith(L"Ethernet 2", kMacA, {"192.168.5.5"}, 24, "192.168.5.1")});
    sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n");
    settings().version = L"7.8.9";
    c.script();
    sim::at(c.stopAt, [] { sim::requestStop(); });

    EXPECT_EQ(programMain({"--service", "--interval", "60"}), 0);

    EXPECT_EQ(sim::nowMilliseconds(), c.stopAt);
    std::vector<std::string> reasons;
    std::istringstream log(logText());
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("run by the service: ", 0) == 0 || line.rfind("stop requested", 0) == 0) reasons.push_back(line);
    }
    EXPECT_EQ(reasons, c.reasons);
    std::vector<std::pair<std::wstring, std::uint64_t>> netsh;
    for (std::size_t i = 0; i < sim::commandsStarted().size(); ++i) {
        if (sim::commandsStarted()[i].rfind(kSetPrefix.substr(0, 20), 0) == 0) {
            netsh.emplace_back(sim::commandsStarted()[i].substr(kSetPrefix.size() - 14), sim::commandStartTimes()[i]);
        }
    }
    if (netsh.size() >= 2 && netsh[1].second == 0) netsh.erase(netsh.begin(), netsh.begin() + 2);
    EXPECT_EQ(netsh, c.netsh);
    std::vector<std::string> serial;
    for (const std::string& event : sim::systemEvents()) {
        if (event.rfind("serial ", 0) == 0) serial.push_back(event.substr(7, event.find(" in ") + 4 - 7));
    }
    if (!serial.empty() && serial[0] == kSuccess) serial.erase(serial.begin());
    EXPECT_EQ(serial, c.serial);
    if (c.requests != 0) {
        EXPECT_EQ(sim::httpRequests().size(), c.requests);
    }
}

const Life kLives[] = {
    // Nine checks of 2 + 4 requests each, and nothing else.
    {"nothing changes", [] {}, 600000, {kStarted}, {}, {}, 6 + 9 * 6},
    {"an address added", [] { sim::at(100000, [] { sim::setHttpBody(kMacs + L"52:54:00:ab:cd:ef/local-ipv4s/", "10.0.1.5/\n10.0.1.6/\n10.0.1.7/\n"); }); },
     300000, {kStarted, kChanged},
     {{kSetA, 120000}, {kAddA, 120000}, {L"address name=\"Ethernet 2\" 10.0.1.7 255.255.255.0", 120000}}, {kSuccess}},
    {"an adapter attached and listed", [] { attachB(30500); sim::at(30500, listBoth); },
     100000, {kStarted, kAppeared}, {{kSetB, 32000}}, {kSuccess}},
    // Asked when it appears, then 2 and 4 s later.
    {"listed 5 s after it appears", [] { attachB(30500); sim::at(35500, listBoth); },
     100000, {kStarted, kAppeared}, {{kSetB, 38000}}, {kSuccess}},
    // Busy, unreachable, then listing nothing for 12 minutes: one warning.
    {"busy, unreachable, empty", [] {
         sim::at(100000, [] { answer(kMacs, 503, "busy"); });
         sim::at(400000, [] { answer(kMacs, 200, "", false); });
         sim::at(600000, [] { answer(kMacs, 200, ""); });
         sim::at(820000, [] { sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n"); });
     }, 1000000, {kStarted}, {}, {"addrsmith 7.8.9: metadata checks have failed for 10 min, settings left as they are; last: vecMacs.size:0\r\n"}},
    // Retried 1, 2, 4 and 8 intervals after each failed run.
    {"failed runs back off", [] { sim::setNetshApplies(false); }, 1000000, {kStarted, kAgain, kAgain, kAgain, kAgain},
     {{kSetA, 60000}, {kAddA, 60000}, {kSetA, 180000}, {kAddA, 180000}, {kSetA, 420000}, {kAddA, 420000},
      {kSetA, 900000}, {kAddA, 900000}},
     {kFailure, kFailure, kFailure, kFailure, kFailure}},
    {"stop while the service is awaited", [] { answer(kBase + L"/mac", 200, "", false); },
     10000, {kStarted, kStopped}, {}, {kFailure}},
    {"stop while another run holds the lock", [] { sim::setOtherRunHolds(std::nullopt); }, 5000, {}, {}, {}},
    {"stop during the adapter search", [] { listBoth(); }, 40000, {kStarted, kStopped}, {}, {kFailure}},
};
INSTANTIATE_TEST_SUITE_P(Service, ServiceLife, ::testing::ValuesIn(kLives));

}  // namespace

// Catches a plan that prints other commands than the next run gives, one
// that runs, writes or reports anything itself, and one that still sees
// changes once the run has made them.
TEST_F(WholeRunTest, PlanPrintsTheNextRunsCommandsAndChangesNothing) {
    sim::setAdapters({adapterWith(L"Ethernet", kMainMac, {"10.0.0.5"}, 24, "10.0.0.1"),
                      adapterWith(L"Ethernet 2", kMacA, {"192.168.5.5"}, 24, "192.168.5.1"),
                      adapterWith(L"Ethernet 3", kMacB, {"10.0.2.5"}, 16, "10.0.2.1")});
    newLog();
    const std::vector<std::string> before = sim::systemEvents();
    EXPECT_EQ(programMain({"--plan"}), 1);
    const std::string plan = newLog();
    EXPECT_TRUE(sim::commandsStarted().empty());
    EXPECT_EQ(sim::systemEvents().size(), before.size() + 1);  // "dll search": no lock, log, COM1, event
    EXPECT_EQ(readFile(iniPath), kIni);
    EXPECT_NE(plan.find("  in effect\nroute to the metadata service: a run adds it through 10.0.0.1\n"
                        "plan: 1 to change, 1 in effect, 0 left out\n"), std::string::npos) << plan;

    EXPECT_EQ(runEntry(), 0);
    std::string given;
    for (const std::wstring& command : sim::commandsStarted()) {
        if (command.find(L"netsh") != std::wstring::npos) given += "  " + std::string(command.begin(), command.end()) + "\n";
    }
    std::string planned;
    for (std::size_t at = plan.find("  c:\\"); at != std::string::npos; at = plan.find("  c:\\", at + 1)) {
        planned += plan.substr(at, plan.find('\n', at) + 1 - at);
    }
    EXPECT_EQ(planned, given);
    EXPECT_EQ(countOf(given, "netsh"), 2u);
    newLog();
    EXPECT_EQ(programMain({"--plan"}), 0);
}

// Catches names that break the JSON or lose characters: quotes, backslashes,
// and characters beyond ASCII, one of them given as a surrogate pair as a
// 16-bit wchar_t holds it.
TEST_F(WholeRunTest, PlanJsonEscapesNamesAndWritesUtf8) {
    sim::setAdapters({adapterWith(L"Eth \"2\" \\ \u00e9\u4e2d\U0001F600\xD83D\xDE00", kMacA, {}, 0, "")});
    newLog();
    EXPECT_EQ(programMain({"--plan", "--JSON"}), 1);
    const std::string json = newLog();
    EXPECT_EQ(json.rfind("{\n  \"format\": 1,", 0), 0u) << json;
    EXPECT_NE(json.find("\"name\": \"Eth \\\"2\\\" \\\\ \xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xF0\x9F\x98\x80\",\n"
                        "      \"why\": \"the name holds a double quote\""),
              std::string::npos) << json;
}
