// Whole runs on the simulated machine: metadata in, netsh out, the check
// and the saved configuration file at the end.

#include "adapters/whole_run.h"
#include "app/driver.h"
#include "app/entry.h"
#include "core/settings.h"
#include "sim/commands.h"

namespace {

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

}  // namespace
