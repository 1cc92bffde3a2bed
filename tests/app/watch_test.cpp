// The service's lives on the simulated machine of the whole runs.
#include <functional>
#include <sstream>

#include "adapters/whole_run.h"
#include "app/entry.h"
#include "core/settings.h"
#include "sim/commands.h"

namespace {

// Whole lives of the service (interval 60 s, no random delay, unless told):
// why it runs, the netsh commands (with when they start), its serial lines
// after the first run's; each has ended at the moment of its stop.
struct Life {
    const char* what;
    std::function<void()> script;  // on top of Ethernet 2 listed and stale
    std::uint64_t stopAt;
    std::vector<std::string> reasons;  // the lines saying why a block runs, or ends
    std::vector<std::pair<std::wstring, std::uint64_t>> netsh;  // after the first run's two
    std::vector<std::string> serial;
    std::size_t requests = 0;  // when given
    const char* events = nullptr;  // when given: the type and number of every event
    std::vector<std::uint64_t> routes = {};  // when given: when the route was added after the first run's
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
const std::string kNothing = "addrsmith 7.8.9: nothing to configure, no additional adapter listed\r\n";
const std::wstring kSetA = L"address name=\"Ethernet 2\" static 10.0.1.5 255.255.255.0 10.0.1.1";
const std::wstring kAddA = L"address name=\"Ethernet 2\" 10.0.1.6 255.255.255.0";
const std::wstring kAdd7 = L"address name=\"Ethernet 2\" 10.0.1.7 255.255.255.0";
const std::wstring kSetB = L"address name=\"Ethernet 3\" static 10.0.2.5 255.255.0.0 10.0.2.1";
const std::string kBoth = "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n52:54:00:01:02:03/\n";
void listBoth() { sim::setHttpBody(kMacs, kBoth); }
void listA() { sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n"); }
const std::wstring kIpsA = kMacs + L"52:54:00:ab:cd:ef/local-ipv4s/", kIpsB = kMacs + L"52:54:00:01:02:03/local-ipv4s/";
void addressAdded() { sim::setHttpBody(kIpsA, "10.0.1.5/\n10.0.1.6/\n10.0.1.7/\n"); }
void attachB(std::uint64_t at) { sim::addAdapterAtTime(at, adapterWith(L"Ethernet 3", kMacB, {}, 0, "")); }
void answer(const std::wstring& url, unsigned status, const std::string& body, bool reached = true, unsigned late = 0) {
    sim::HttpAnswer a;
    a.kind = reached ? sim::HttpAnswer::Kind::Body : sim::HttpAnswer::Kind::Unreachable;
    a.status = status;
    a.body = body;
    a.milliseconds = late;
    sim::setHttpAnswer(url, a);
}

class ServiceLife : public WholeRunTest, public ::testing::WithParamInterface<Life> {};

TEST_P(ServiceLife, RunsOnlyForAChangeAndStopsAtOnce) {
    const Life& c = GetParam();
    SCOPED_TRACE(c.what);
    sim::resetAdapters();
    sim::setAdapters({adapterWith(L"Ethernet", kMainMac, {"10.0.0.5"}, 24, "10.0.0.1"),
                      adapterWith(L"Ethernet 2", kMacA, {"192.168.5.5"}, 24, "192.168.5.1")});
    listA();
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
        const std::wstring& command = sim::commandsStarted()[i];
        const std::uint64_t at = sim::commandStartTimes()[i];
        if (command.rfind(kSetPrefix.substr(0, 20), 0) == 0) netsh.emplace_back(command.substr(kSetPrefix.size() - 14), at);
        else if (i > 0) routes.push_back(at);
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
    if (c.requests != 0) { EXPECT_EQ(sim::httpRequests().size(), c.requests); }
    if (c.events != nullptr) { EXPECT_EQ(events, c.events); }
    if (!c.routes.empty()) { EXPECT_EQ(routes, c.routes); }
}

const Life kLives[] = {
    // Nine checks of 2 + 4 requests each, and nothing else.
    {"nothing changes", [] {}, 600000, {kStarted}, {}, {}, 6 + 9 * 6},
    // The checks 3 s late at random: 63 s, 126 s.
    {"an address added", [] { sim::setRandomNumber(3000); sim::at(100000, addressAdded); }, 300000,
     {kStarted, kChanged}, {{kSetA, 126000}, {kAddA, 126000}, {kAdd7, 126000}}, {kSuccess}},
    {"an adapter attached and listed", [] { attachB(30500); sim::at(30500, listBoth); },
     100000, {kStarted, kAppeared}, {{kSetB, 32000}}, {kSuccess}},
    // Asked when it appears, then 2 and 4 s later.
    {"listed 5 s after it appears", [] { attachB(30500); sim::at(35500, listBoth); },
     100000, {kStarted, kAppeared}, {{kSetB, 38000}}, {kSuccess}},
    // Busy, unreachable, then listing nothing for 12 minutes: one warning.
    {"busy, unreachable, empty", [] {
         sim::at(100000, [] { answer(kMacs, 503, "busy"); });
         sim::at(400000, [] { answer(kMacs, 200, "", false); });
         sim::at(600000, [] { sim::setHttpBody(kMacs, ""); });
         sim::at(820000, listA); },
     1000000, {kStarted}, {}, {"addrsmith 7.8.9: metadata checks have failed for 10 min, settings left as they are; last: vecMacs.size:0\r\n"}},
    // Retried 1, 2, 4 and 8 intervals after each failed run.
    {"failed runs back off", [] { sim::setNetshApplies(false); }, 1000000, {kStarted, kAgain, kAgain, kAgain, kAgain},
     {{kSetA, 60000}, {kAddA, 60000}, {kSetA, 180000}, {kAddA, 180000}, {kSetA, 420000}, {kAddA, 420000},
      {kSetA, 900000}, {kAddA, 900000}}, {kFailure, kFailure, kFailure, kFailure, kFailure}},
    {"stop while the service is awaited", [] { answer(kBase + L"/mac", 200, "", false); },
     10000, {kStarted, kStopped}, {}, {kStoppedLine}, 0, "warning 5;"},
    {"stop while another run holds the lock", [] { sim::setOtherRunHolds(std::nullopt); }, 5000, {}, {}, {}},
    {"stop during the adapter search", [] { listBoth(); }, 40000, {kStarted, kStopped}, {}, {kStoppedLine}, 0, "warning 5;"},
    // The listing of Ethernet 3 comes a second late, and so does a stop: no run.
    {"stop while a newcomer's listing is asked",
     [] { attachB(30500); sim::at(30500, [] { answer(kMacs, 200, kBoth, true, 1000); }); },
     33000, {kStarted}, {}, {}, 0, "information 1;"},
    // The failed run's settings are what the checks compare with: retried
    // 1 and 2 intervals later, and all quiet after the retry that works.
    // Route commands take a second, so that runs take time.
    {"a change fails, then works", [] {
         sim::setCommandBehaviour(L"route", {sim::CommandBehaviour::Kind::Ends, 1000});
         sim::at(100000, [] { addressAdded(); sim::setNetshApplies(false); });
         sim::at(200000, [] { sim::setNetshApplies(true); }); },
     400000, {kStarted, kChanged, kAgain, kAgain}, {{kSetA, 1000}, {kAddA, 1000}, {kSetA, 122000}, {kAddA, 122000},
     {kAdd7, 122000}, {kSetA, 183000}, {kAddA, 183000}, {kAdd7, 183000}, {kSetA, 304000}, {kAddA, 304000}, {kAdd7, 304000}},
     {kFailure, kFailure, kSuccess}},
    // Nothing to configure for an hour: no run, line or event; then Ethernet 2 is listed.
    {"only the main adapter listed", [] { sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n"); sim::at(3600000, listA); },
     3700000, {kStarted, kChanged}, {{kSetA, 3600000}, {kAddA, 3600000}}, {kNothing, kSuccess}, 0,
     "information 4;information 1;"},
    // Ethernet 3 is listed without addresses, which is no news, while an
    // address is added to Ethernet 2; then it gets one, then Ethernet 2's
    // list comes back empty, which takes nothing away.
    {"an adapter listed without addresses", [] {
         sim::adapters().push_back(adapterWith(L"Ethernet 3", kMacB, {}, 0, ""));
         listBoth();
         sim::setHttpBody(kIpsB, "");
         sim::at(100000, addressAdded);
         sim::at(200000, [] { sim::setHttpBody(kIpsB, "10.0.2.5/\n"); });
         sim::at(300000, [] { sim::setHttpBody(kIpsA, ""); }); },
     500000, {kStarted, kChanged, kChanged}, {{kSetA, 120000}, {kAddA, 120000}, {kAdd7, 120000}, {kSetB, 240000}},
     {kSuccess, kSuccess}},
    // Interval 20 s. The route goes at 100 s and can be added again from
    // 300 s; checks that reach nothing add it once a minute, and the change
    // from 250 s is followed at the check after it is back.
    {"a lost route", [] { sim::at(100000, [] { sim::loseRoute(300000); }); sim::at(250000, addressAdded); },
     400000, {kStarted, kChanged}, {{kSetA, 340000}, {kAddA, 340000}, {kAdd7, 340000}}, {kSuccess}, 0, nullptr,
     {140000, 200000, 260000, 320000, 340000}, 20},
};
INSTANTIATE_TEST_SUITE_P(Service, ServiceLife, ::testing::ValuesIn(kLives));

}  // namespace
