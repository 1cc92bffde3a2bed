// Whole lives of the service on the simulated machine: a main adapter, and
// Ethernet 2 listed and stale when it starts.
#include <functional>
#include <sstream>

#include "adapters/test_records.h"
#include "app/entry.h"
#include "core/settings.h"
#include "sim/commands.h"
#include "support/sim_test.h"

namespace {

const std::wstring kBase = L"http://169.254.0.254/meta-data";
const std::wstring kMacs = kBase + L"/network/interfaces/macs/";
const std::vector<std::uint8_t> kMainMac{0x52, 0x54, 0x00, 0x00, 0x00, 0x01};

void serve(const std::wstring& mac, const std::string& primary, const std::string& ips,
           const std::string& gateway, const std::string& mask) {
    const std::wstring at = kMacs + mac + L"/";
    sim::setHttpBody(at + L"primary-local-ipv4/", primary);
    sim::setHttpBody(at + L"local-ipv4s/", ips);
    sim::setHttpBody(at + L"local-ipv4s/" + widen(primary) + L"/gateway", gateway);
    sim::setHttpBody(at + L"local-ipv4s/" + widen(primary) + L"/subnet-mask", mask);
}

// Whole lives of the service (interval 60 s unless given, no random delay
// unless scripted): why it runs, the netsh commands (with when they start),
// its serial lines after the first run's; each has ended at the moment of
// its stop.
struct Life {
    const char* what;
    std::function<void()> script;  // on top of Ethernet 2 listed and stale
    std::uint64_t stopAt;
    std::vector<std::string> reasons;  // the lines saying why a block runs, or ends
    std::vector<std::pair<std::wstring, std::uint64_t>> netsh;  // after the first run's two
    std::vector<std::string> serial;
    std::size_t requests = 0;  // when given
    const char* events = nullptr;  // when given: every event's type and number
    std::vector<std::uint64_t> routes = {};  // when given: when route commands start after the first run's
    unsigned interval = 60;
};

const std::string kStarted = "run by the service: it started";
const std::string kChanged = "run by the service: the metadata changed";
const std::string kAgain = "run by the service: again after a failed run";
const std::string kAppeared = "run by the service: adapter 52-54-00-01-02-03 appeared and is listed";
const std::string kStopped = "stop requested, the run ends here";
const std::string kSuccess = "addrsmith 7.8.9: set netcard info success\r\n";
// Up to the run log's path, which is the test's own.
const std::string kFailure = "addrsmith 7.8.9: set netcard info fail, detail log in ";
const std::string kStoppedLine = "addrsmith 7.8.9: stopped before the end, detail log in ";
const std::wstring kSetA = L"address name=\"Ethernet 2\" static 10.0.1.5 255.255.255.0 10.0.1.1";
const std::wstring kAddA = L"address name=\"Ethernet 2\" 10.0.1.6 255.255.255.0";
const std::wstring kSetB = L"address name=\"Ethernet 3\" static 10.0.2.5 255.255.0.0 10.0.2.1";
const std::wstring kIpsA = kMacs + L"52:54:00:ab:cd:ef/local-ipv4s/";
const std::wstring kIpsB = kMacs + L"52:54:00:01:02:03/local-ipv4s/";
const std::string kBoth = "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n52:54:00:01:02:03/\n";
void listBoth() { sim::setHttpBody(kMacs, kBoth); }
void attachB(std::uint64_t at) { sim::addAdapterAtTime(at, adapterWith(L"Ethernet 3", kMacB, {}, 0, "")); }
void answer(const std::wstring& url, unsigned status, const char* body, bool reached = true) {
    sim::HttpAnswer a;
    a.kind = reached ? sim::HttpAnswer::Kind::Body : sim::HttpAnswer::Kind::Unreachable;
    a.status = status;
    a.body = body;
    sim::setHttpAnswer(url, a);
}
void addressAdded() { sim::setHttpBody(kIpsA, "10.0.1.5/\n10.0.1.6/\n10.0.1.7/\n"); }
// The netsh commands of Ethernet 2 with the address added, at each time.
std::vector<std::pair<std::wstring, std::uint64_t>> setsAt(std::initializer_list<std::uint64_t> times) {
    std::vector<std::pair<std::wstring, std::uint64_t>> commands;
    for (const std::uint64_t at : times) {
        for (const std::wstring& c : {kSetA, kAddA, std::wstring(L"address name=\"Ethernet 2\" 10.0.1.7 255.255.255.0")}) {
            commands.emplace_back(c, at);
        }
    }
    return commands;
}

class ServiceLife : public SimTest, public ::testing::WithParamInterface<Life> {};

TEST_P(ServiceLife, RunsOnlyForAChangeAndStopsAtOnce) {
    const Life& c = GetParam();
    SCOPED_TRACE(c.what);
    writeFile(iniPath, "[eth0]\r\nGATEWAY=10.0.0.1\r\n");
    sim::setHttpBody(kBase + L"/mac", "52:54:00:00:00:01");
    sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n");
    serve(L"52:54:00:ab:cd:ef", "10.0.1.5", "10.0.1.6/\n10.0.1.5/\n", "10.0.1.1", "255.255.255.0");
    serve(L"52:54:00:01:02:03", "10.0.2.5", "10.0.2.5/\n", "10.0.2.1", "255.255.0.0");
    sim::setAdapters({adapterWith(L"Ethernet", kMainMac, {"10.0.0.5"}, 24, "10.0.0.1"),
                      adapterWith(L"Ethernet 2", kMacA, {"192.168.5.5"}, 24, "192.168.5.1")});
    settings().version = L"7.8.9";
    c.script();
    sim::at(c.stopAt, [] { sim::requestStop(); });

    EXPECT_EQ(programMain({"--service", "--interval", std::to_string(c.interval)}), 0);

    EXPECT_EQ(sim::nowMilliseconds(), c.stopAt);
    std::vector<std::string> reasons;
    std::istringstream log(logText());
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("run by the service: ", 0) == 0 || line.rfind("stop requested", 0) == 0) reasons.push_back(line);
    }
    EXPECT_EQ(reasons, c.reasons);
    std::vector<std::pair<std::wstring, std::uint64_t>> netsh;
    std::vector<std::uint64_t> routes;
    for (std::size_t i = 0; i < sim::commandsStarted().size(); ++i) {
        if (sim::commandsStarted()[i].rfind(kSetPrefix.substr(0, 20), 0) == 0) {
            netsh.emplace_back(sim::commandsStarted()[i].substr(kSetPrefix.size() - 14), sim::commandStartTimes()[i]);
        } else if (i > 0) {
            routes.push_back(sim::commandStartTimes()[i]);
        }
    }
    if (netsh.size() >= 2 && netsh[1].second == 0) netsh.erase(netsh.begin(), netsh.begin() + 2);
    EXPECT_EQ(netsh, c.netsh);
    std::vector<std::string> serial;
    std::string events;
    for (const std::string& event : sim::systemEvents()) {
        if (event.rfind("serial ", 0) == 0) serial.push_back(event.substr(7, event.find(" in ") + 4 - 7));
        if (event.rfind("event ", 0) == 0) events += event.substr(17, event.find(':') - 17) + ";";
    }
    if (!serial.empty() && serial[0] == kSuccess) serial.erase(serial.begin());
    EXPECT_EQ(serial, c.serial);
    if (c.requests != 0) {
        EXPECT_EQ(sim::httpRequests().size(), c.requests);
    }
    if (c.events != nullptr) {
        EXPECT_EQ(events, c.events);
    }
    if (!c.routes.empty()) {
        EXPECT_EQ(routes, c.routes);
    }
}

const Life kLives[] = {
    // Nine checks of 2 + 4 requests each, and nothing else.
    {"nothing changes", [] {}, 600000, {kStarted}, {}, {}, 6 + 9 * 6},
    // Each check 3 s late at random.
    {"an address added", [] { sim::setRandomNumber(3000); sim::at(100000, addressAdded); },
     300000, {kStarted, kChanged}, setsAt({126000}), {kSuccess}},
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
    // The retry works, and all is quiet after it. Route commands take a
    // second here, so that runs take time.
    {"a failure, then a success", [] {
         sim::setCommandBehaviour(L"route", {sim::CommandBehaviour::Kind::Ends, 1000});
         sim::setNetshApplies(false);
         sim::at(30000, [] { sim::setNetshApplies(true); });
     }, 300000, {kStarted, kAgain}, {{kSetA, 1000}, {kAddA, 1000}, {kSetA, 62000}, {kAddA, 62000}}, {kFailure, kSuccess}},
    // What failed to apply is what later checks compare with: no run for it
    // at every check, the retries back off.
    {"a change that does not take effect", [] { sim::at(100000, [] { addressAdded(); sim::setNetshApplies(false); }); },
     400000, {kStarted, kChanged, kAgain, kAgain}, setsAt({120000, 180000, 300000}), {kFailure, kFailure, kFailure}},
    {"stop while the service is awaited", [] { answer(kBase + L"/mac", 200, "", false); },
     10000, {kStarted, kStopped}, {}, {kStoppedLine}, 0, "warning 5;"},
    {"stop while another run holds the lock", [] { sim::setOtherRunHolds(std::nullopt); }, 5000, {}, {}, {}},
    {"stop during the adapter search", [] { listBoth(); }, 40000, {kStarted, kStopped}, {}, {kStoppedLine}, 0, "warning 5;"},
    // The newcomer's listing takes a second to come, and the stop comes
    // meanwhile: no run.
    {"stop while a newcomer's listing is asked", [] {
         attachB(30500);
         sim::at(30500, [] { sim::HttpAnswer slow; slow.body = kBoth; slow.milliseconds = 1000; sim::setHttpAnswer(kMacs, slow); });
     }, 33000, {kStarted}, {}, {}, 0, "information 1;"},
    // An hour of checks after a first run with nothing to configure: no
    // run, no line, no event.
    {"only the main adapter listed", [] { sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n"); },
     3600000, {kStarted}, {}, {"addrsmith 7.8.9: nothing to configure, no additional adapter listed\r\n"}, 2 + 59 * 2,
     "information 4;"},
    {"an adapter listed after nothing to configure", [] {
         sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n");
         sim::at(100000, [] { sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n"); });
     }, 300000, {kStarted, kChanged}, {{kSetA, 120000}, {kAddA, 120000}},
     {"addrsmith 7.8.9: nothing to configure, no additional adapter listed\r\n", kSuccess}, 0, "information 4;information 1;"},
    // Ethernet 3 is listed without addresses: no news, for runs and checks
    // alike, while Ethernet 2 changes; its addresses are news; Ethernet 2's
    // list emptied takes nothing away.
    {"an adapter listed without addresses", [] {
         sim::adapters().push_back(adapterWith(L"Ethernet 3", kMacB, {}, 0, ""));
         listBoth();
         sim::setHttpBody(kIpsB, "");
         sim::at(100000, addressAdded);
         sim::at(200000, [] { sim::setHttpBody(kIpsB, "10.0.2.5/\n"); });
         sim::at(300000, [] { sim::setHttpBody(kIpsA, ""); });
     }, 500000, {kStarted, kChanged, kChanged},
     {{kSetA, 120000}, {kAddA, 120000}, {L"address name=\"Ethernet 2\" 10.0.1.7 255.255.255.0", 120000},
      {kSetB, 240000}},
     {kSuccess, kSuccess}, 0, "information 1;information 1;information 1;"},
    // The route goes at 100 s and can be added again from 300 s on; checks
    // that reach nothing add it once a minute, and the change from 250 s is
    // followed at the check after it is back.
    {"a lost route", [] {
         sim::at(100000, [] { sim::loseRoute(300000); });
         sim::at(250000, addressAdded);
     }, 400000, {kStarted, kChanged}, setsAt({340000}), {kSuccess}, 0, nullptr,
     {140000, 200000, 260000, 320000, 340000}, 20},
};
INSTANTIATE_TEST_SUITE_P(Service, ServiceLife, ::testing::ValuesIn(kLives));

}  // namespace
