#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "adapters/test_records.h"
#include "app/driver.h"
#include "core/ipv4_text.h"
#include "core/settings.h"
#include "metadata/builder.h"
#include "sim/sim.h"
#include "support/sim_test.h"

namespace {

const std::wstring kBase = L"http://169.254.0.254";
const std::wstring kMacUrl = kBase + L"/meta-data/mac";
const std::wstring kMacsUrl = kBase + L"/meta-data/network/interfaces/macs/";
const std::string kMain = "52:54:00:00:00:01";

struct Adapter {
    std::string entry;
    std::string primary;
    std::string ips;  // the "local-ipv4s/" listing as served
    std::string gateway;
    std::string mask;
};

const Adapter kFirst{"52:54:00:ab:cd:ef", "10.0.1.5", "10.0.1.5/\n10.0.1.6/", "10.0.1.1",
                     "255.255.255.0"};
const Adapter kSecond{"fa:16:3e:00:00:02", "10.0.2.5", "10.0.2.5/\n", "10.0.2.1", "255.255.0.0"};
const Adapter kThird{"FA:16:3E:00:00:03", "192.168.3.10",
                     "192.168.3.10/\n192.168.3.11/\n192.168.3.12/", "192.168.3.1",
                     "255.255.255.128"};

// kFirst's answers, served under another listing entry.
Adapter firstUnder(const std::string& entry) {
    Adapter a = kFirst;
    a.entry = entry;
    return a;
}

std::wstring primaryUrl(const std::string& entry) {
    return kMacsUrl + widen(entry) + L"/primary-local-ipv4/";
}
std::wstring ipsUrl(const std::string& entry) { return kMacsUrl + widen(entry) + L"/local-ipv4s/"; }
std::wstring gatewayUrl(const std::string& entry, const std::string& ip) {
    return ipsUrl(entry) + widen(ip) + L"/gateway";
}
std::wstring maskUrl(const std::string& entry, const std::string& ip) {
    return ipsUrl(entry) + widen(ip) + L"/subnet-mask";
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void scriptAdapter(const Adapter& a) {
    sim::setHttpBody(primaryUrl(a.entry), a.primary);
    sim::setHttpBody(ipsUrl(a.entry), a.ips);
    sim::setHttpBody(gatewayUrl(a.entry, a.primary), a.gateway);
    sim::setHttpBody(maskUrl(a.entry, a.primary), a.mask);
}

void scriptService(const std::string& listing, const std::vector<Adapter>& adapters) {
    sim::setHttpBody(kMacUrl, kMain);
    sim::setHttpBody(kMacsUrl, listing);
    for (const Adapter& a : adapters) scriptAdapter(a);
}

void makeUnreachable(const std::wstring& url) {
    sim::HttpAnswer answer;
    answer.kind = sim::HttpAnswer::Kind::Unreachable;
    sim::setHttpAnswer(url, answer);
}

// What the log shows up to the first adapter's turn.
std::string headLog(const std::vector<std::string>& entries) {
    std::string log = "main mac=" + kMain + "\nvecMacs.size:" + std::to_string(entries.size()) + "\n";
    for (const std::string& e : entries) log += "mac=" + e + "\n";
    return log;
}

// A complete turn, given the addresses the listing splits into.
std::string turnLog(const Adapter& a, const std::vector<std::string>& ips) {
    std::string log = "config main ip=" + a.primary + "\nvecIps.size:" + std::to_string(ips.size()) + "\n";
    for (const std::string& ip : ips) log += "config ip=" + ip + "\n";
    log += "config gateway=" + a.gateway + "\nconfig mask=" + a.mask + "\nconfig macaddr=" + a.entry +
           "\n";
    return log;
}

std::vector<std::wstring> turnRequests(const Adapter& a) {
    return {primaryUrl(a.entry), ipsUrl(a.entry), gatewayUrl(a.entry, a.primary),
            maskUrl(a.entry, a.primary)};
}

const char* const kNotAMac = "the listing entry is not a hardware address";

// The line of an adapter the run leaves out.
std::string leftOutLine(const std::string& entry, const std::string& why) {
    return "adapter " + entry + " not configured: " + why + "\n";
}

TextList texts(std::initializer_list<const wchar_t*> items) {
    TextList out;
    for (const wchar_t* item : items) out.push_back(item);
    return out;
}

void expectMac(const AdapterConfig& record, std::vector<std::uint8_t> bytes) {
    ASSERT_EQ(bytes.size(), 6u);
    EXPECT_EQ(0, std::memcmp(record.mac, bytes.data(), 6));
}

// Every record only ever holds checked texts.
void expectOnlyCheckedTexts(const AdapterConfigList& list) {
    for (const AdapterConfig& record : list) {
        ASSERT_TRUE(record.ipList);
        ASSERT_FALSE(record.ipList->empty());
        for (const std::wstring& ip : *record.ipList) EXPECT_EQ(checkIpAddr(ip.c_str()), 1);
        EXPECT_EQ(checkIpAddr(record.gateway), 1);
        EXPECT_EQ(checkIpAddr(record.mask), 1);
        EXPECT_FALSE(record.dnsList);
    }
}

class BuilderTest : public SimTest {};

}  // namespace

TEST_F(BuilderTest, TwoAdaptersBesideTheMainOne) {
    scriptService(kMain + "/\n" + kFirst.entry + "/\n" + kSecond.entry + "/", {kFirst, kSecond});

    const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();

    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 2u);

    std::vector<std::wstring> expectedRequests{kMacUrl, kMacsUrl};
    for (const Adapter* a : {&kFirst, &kSecond}) {
        for (const std::wstring& url : turnRequests(*a)) expectedRequests.push_back(url);
    }
    EXPECT_EQ(sim::httpRequests(), expectedRequests);
    EXPECT_EQ(narrow(expectedRequests[4]),
              "http://169.254.0.254/meta-data/network/interfaces/macs/52:54:00:ab:cd:ef/"
              "local-ipv4s/10.0.1.5/gateway");

    EXPECT_EQ(logText(), headLog({kFirst.entry, kSecond.entry}) +
                             turnLog(kFirst, {"10.0.1.5", "10.0.1.6"}) +
                             turnLog(kSecond, {"10.0.2.5"}));

    const AdapterConfig& first = (*desired)[0];
    EXPECT_EQ(first.dhcp, 0);
    ASSERT_TRUE(first.ipList);
    EXPECT_EQ(*first.ipList, texts({L"10.0.1.5", L"10.0.1.6"}));
    EXPECT_FALSE(first.dnsList);
    EXPECT_EQ(std::wstring(first.gateway), L"10.0.1.1");
    EXPECT_EQ(std::wstring(first.mask), L"255.255.255.0");
    for (std::size_t i = 13; i < 30; ++i) EXPECT_EQ(first.mask[i], L'\0') << i;
    expectMac(first, {0x52, 0x54, 0x00, 0xab, 0xcd, 0xef});
    for (wchar_t c : first.adapterName) EXPECT_EQ(c, L'\0');

    const AdapterConfig& second = (*desired)[1];
    ASSERT_TRUE(second.ipList);
    EXPECT_EQ(*second.ipList, texts({L"10.0.2.5"}));
    EXPECT_FALSE(second.dnsList);
    EXPECT_EQ(std::wstring(second.gateway), L"10.0.2.1");
    EXPECT_EQ(std::wstring(second.mask), L"255.255.0.0");
    expectMac(second, {0xfa, 0x16, 0x3e, 0x00, 0x00, 0x02});
}

TEST_F(BuilderTest, BaseUrlComesFromTheBuildSetting) {
    settings().metadataBaseUrl = L"http://10.1.2.3:8080";
    sim::setHttpBody(L"http://10.1.2.3:8080/meta-data/mac", "-");
    EXPECT_FALSE(getDesiredConfig());
    EXPECT_EQ(sim::httpRequests(), std::vector<std::wstring>{L"http://10.1.2.3:8080/meta-data/mac"});
    EXPECT_EQ(logText(), "main mac=-\nmain mac error\n");
}

TEST_F(BuilderTest, MainAdapterRemovedWhateverItsLetterCaseAndHowOftenListed) {
    // The main adapter is never configured: every entry with its six bytes
    // goes, in capitals or small letters. Texts that are no hardware address
    // stay (and fail their turn), even when they read as its bytes.
    sim::setHttpBody(kMacUrl, "52:54:00:0a:0B:0c");
    const Adapter other{kMain, "10.0.4.5", "10.0.4.5/", "10.0.4.1", "255.255.255.0"};
    sim::setHttpBody(kMacsUrl, "52:54:00:0A:0B:0C/\n52:54:00:0a:0b:0c/\n" + kMain +
                                   "/\n52:54:00:0a:0b:0c/\n52-54-00-0a-0b-0c/");
    scriptAdapter(other);

    const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();

    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 1u);
    expectMac((*desired)[0], {0x52, 0x54, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(sim::httpRequests().size(), 2u + 4u);  // no request for any main entry
    const std::string log = logText();
    EXPECT_EQ(log.substr(0, log.find("config main ip=")),
              "main mac=52:54:00:0a:0B:0c\nvecMacs.size:2\nmac=" + kMain +
                  "\nmac=52-54-00-0a-0b-0c\n");
}

TEST_F(BuilderTest, MainAdapterAloneOrMissingFromTheListing) {
    scriptService(kMain + "/\n", {});
    const std::unique_ptr<AdapterConfigList> nothing = getDesiredConfig();
    ASSERT_TRUE(nothing);  // nothing to configure, which is no failure
    EXPECT_TRUE(nothing->empty());
    EXPECT_EQ(newLog(), "main mac=" + kMain + "\nvecMacs.size:0\n");
    EXPECT_EQ(sim::httpRequests(), (std::vector<std::wstring>{kMacUrl, kMacsUrl}));

    // A main address that is not listed removes nothing.
    sim::resetHttp();
    scriptService(kFirst.entry + "/\n" + kSecond.entry + "/\n", {kFirst, kSecond});
    const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();
    ASSERT_TRUE(desired);
    EXPECT_EQ(desired->size(), 2u);
    EXPECT_EQ(newLog().substr(0, headLog({kFirst.entry, kSecond.entry}).size()),
              headLog({kFirst.entry, kSecond.entry}));
}

TEST_F(BuilderTest, GivesUpWithoutMainMacOrListing) {
    struct Case {
        const char* name;
        std::function<void()> script;
        std::string log;
        std::size_t requests;
    };
    const std::string listing = kFirst.entry + "/\n";
    const Case cases[] = {
        // Asked about every 1.5 s for 120 s before the builder gives up.
        {"main mac unreachable", [] { makeUnreachable(kMacUrl); },
         "no answer from the metadata service, waiting up to 120 s for it\n"
         "metadata service still unreachable 120 s after the first request\n"
         "get main mac error url:http://169.254.0.254/meta-data/mac\n",
         80},
        {"main mac with line feed", [] { sim::setHttpBody(kMacUrl, kMain + "\n"); },
         "main mac=" + kMain + "\n\nmain mac error\n", 1},
        {"main mac error page", [] { sim::setHttpBody(kMacUrl, "<h1>404 Not Found</h1>"); },
         "main mac=<h1>404 Not Found</h1>\nmain mac error\n", 1},
        {"main mac too long", [] { sim::setHttpBody(kMacUrl, kMain + std::string(13, ' ')); },
         "get main mac error url:http://169.254.0.254/meta-data/mac\n", 1},
        {"listing unreachable", [] { makeUnreachable(kMacsUrl); },
         "main mac=" + kMain +
             "\nget macs error url:http://169.254.0.254/meta-data/network/interfaces/macs/\n",
         2},
        // 2048 characters, one more than the listing's buffer holds: the
        // fetch fails whole rather than hand over the entries that fit.
        {"listing too long",
         [] {
             std::string big;
             while (big.size() < 2048) big += "52:54:00:ab:cd:ef/\n";
             sim::setHttpBody(kMacsUrl, big.substr(0, 2048));
         },
         "main mac=" + kMain +
             "\nget macs error url:http://169.254.0.254/meta-data/network/interfaces/macs/\n",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::resetHttp();
        scriptService(listing, {kFirst});
        c.script();
        EXPECT_FALSE(getDesiredConfig());
        EXPECT_EQ(newLog(), c.log);
        EXPECT_EQ(sim::httpRequests().size(), c.requests);
    }
}

TEST_F(BuilderTest, EachFailureSkipsOnlyItsAdapter) {
    const std::string& e = kSecond.entry;
    const std::string page = "<h1>404 Not Found</h1>";
    std::string tooManyIps;
    while (tooManyIps.size() < 900) tooManyIps += "10.0.2.5/\n";
    tooManyIps.resize(900);

    struct Case {
        const char* name;
        const char* why;  // why the run says it left the adapter out; nullptr: nothing to configure
        std::function<void()> script;
        std::string log;  // the second adapter's part of the log
    };
    const Case cases[] = {
        {"primary unreachable", "its primary address could not be fetched", [&] { makeUnreachable(primaryUrl(e)); },
         "get primary-local-ipv4 error url:" + narrow(primaryUrl(e)) + "\n"},
        {"primary too long", "its primary address could not be fetched", [&] { sim::setHttpBody(primaryUrl(e), "10.0.2.5" + std::string(22, '\n')); },
         "get primary-local-ipv4 error url:" + narrow(primaryUrl(e)) + "\n"},
        {"primary error page", "its primary address is not an IPv4 address", [&] { sim::setHttpBody(primaryUrl(e), page); },
         "config main ip=" + page + "\ncheck main ip addr fail\n"},
        {"primary empty", "its primary address is not an IPv4 address", [&] { sim::setHttpBody(primaryUrl(e), ""); },
         "config main ip=\ncheck main ip addr fail\n"},
        {"primary with line feed", "its primary address is not an IPv4 address", [&] { sim::setHttpBody(primaryUrl(e), "10.0.2.5\n"); },
         "config main ip=10.0.2.5\n\ncheck main ip addr fail\n"},
        {"addresses read fails", "its address list could not be fetched",
         [&] {
             sim::HttpAnswer answer;
             answer.kind = sim::HttpAnswer::Kind::ReadFails;
             sim::setHttpAnswer(ipsUrl(e), answer);
         },
         "config main ip=10.0.2.5\nget local-ipv4s error url:" + narrow(ipsUrl(e)) + "\n"},
        {"addresses too long", "its address list could not be fetched", [&] { sim::setHttpBody(ipsUrl(e), tooManyIps); },
         "config main ip=10.0.2.5\nget local-ipv4s error url:" + narrow(ipsUrl(e)) + "\n"},
        {"one bad address", "its address list holds something that is not an IPv4 address", [&] { sim::setHttpBody(ipsUrl(e), "10.0.2.5/\n10.0.2.300/\n10.0.2.7/"); },
         "config main ip=10.0.2.5\nvecIps.size:3\nconfig ip=10.0.2.5\nconfig ip=10.0.2.300\n"
         "check ip addr fail\n"},
        {"addresses with CRLF", "its address list holds something that is not an IPv4 address", [&] { sim::setHttpBody(ipsUrl(e), "10.0.2.5/\r\n10.0.2.6/\r\n"); },
         "config main ip=10.0.2.5\nvecIps.size:3\nconfig ip=10.0.2.5\nconfig ip=\r\n10.0.2.6\n"
         "check ip addr fail\n"},
        {"no addresses", nullptr, [&] { sim::setHttpBody(ipsUrl(e), ""); },
         "config main ip=10.0.2.5\nvecIps.size:0\n"},
        {"only separators", nullptr, [&] { sim::setHttpBody(ipsUrl(e), "\n/\n//\n"); },
         "config main ip=10.0.2.5\nvecIps.size:0\n"},
        {"gateway unreachable", "its gateway could not be fetched", [&] { makeUnreachable(gatewayUrl(e, "10.0.2.5")); },
         "config main ip=10.0.2.5\nvecIps.size:1\nconfig ip=10.0.2.5\nget gateway error url:" +
             narrow(gatewayUrl(e, "10.0.2.5")) + "\n"},
        {"gateway error page", "its gateway is not an IPv4 address", [&] { sim::setHttpBody(gatewayUrl(e, "10.0.2.5"), page); },
         "config main ip=10.0.2.5\nvecIps.size:1\nconfig ip=10.0.2.5\nconfig gateway=" + page +
             "\ncheck gateway addr fail\n"},
        {"mask unreachable", "its subnet mask could not be fetched", [&] { makeUnreachable(maskUrl(e, "10.0.2.5")); },
         "config main ip=10.0.2.5\nvecIps.size:1\nconfig ip=10.0.2.5\nconfig gateway=10.0.2.1\n"
         "get mask error url:" + narrow(maskUrl(e, "10.0.2.5")) + "\n"},
        {"mask with blank", "its subnet mask is not an IPv4 address", [&] { sim::setHttpBody(maskUrl(e, "10.0.2.5"), "255.255.0.0 "); },
         "config main ip=10.0.2.5\nvecIps.size:1\nconfig ip=10.0.2.5\nconfig gateway=10.0.2.1\n"
         "config mask=255.255.0.0 \ncheck mask addr fail\n"},
    };

    const std::string listing = kFirst.entry + "/\n" + kSecond.entry + "/\n" + kThird.entry + "/";
    const std::string head = headLog({kFirst.entry, kSecond.entry, kThird.entry});
    const std::string firstTurn = turnLog(kFirst, {"10.0.1.5", "10.0.1.6"});
    const std::string thirdTurn = turnLog(kThird, {"192.168.3.10", "192.168.3.11", "192.168.3.12"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::resetHttp();
        scriptService(listing, {kFirst, kSecond, kThird});
        c.script();

        std::size_t leftOut = 99;
        const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig(nullptr, &leftOut);

        ASSERT_TRUE(desired);
        ASSERT_EQ(desired->size(), 2u);
        expectMac((*desired)[0], {0x52, 0x54, 0x00, 0xab, 0xcd, 0xef});
        expectMac((*desired)[1], {0xfa, 0x16, 0x3e, 0x00, 0x00, 0x03});
        EXPECT_EQ(*(*desired)[1].ipList, texts({L"192.168.3.10", L"192.168.3.11", L"192.168.3.12"}));
        EXPECT_EQ(std::wstring((*desired)[1].mask), L"255.255.255.128");
        EXPECT_EQ(newLog(), head + firstTurn + c.log + (c.why ? leftOutLine(e, c.why) : "") + thirdTurn);
        EXPECT_EQ(leftOut, c.why ? 1u : 0u);
    }
}

TEST_F(BuilderTest, LaterRequestsAnsweredBusyAreAskedAgainAFewTimes) {
    const auto busy = [](const std::wstring& url, const std::string& body, unsigned status, unsigned times,
                         std::optional<std::uint64_t> retryAfter, unsigned takes = 0) {
        sim::HttpAnswer answer;
        answer.body = body;
        answer.busyStatus = status;
        answer.busyTimes = times;
        answer.retryAfterSeconds = retryAfter;
        answer.busyMilliseconds = takes;
        sim::setHttpAnswer(url, answer);
    };
    scriptService(kFirst.entry + "/\n" + kSecond.entry + "/\n" + kThird.entry + "/", {kFirst, kSecond, kThird});
    // Once each: asked again after 1 s, and after the 3 s the service asks
    // for; for good, asking for a minute: three times more, 5 s apart.
    busy(gatewayUrl(kFirst.entry, kFirst.primary), kFirst.gateway, 503, 1, std::nullopt);
    busy(ipsUrl(kSecond.entry), kSecond.ips, 429, 1, 3);
    busy(primaryUrl(kThird.entry), kThird.primary, 500, 99, 60);
    std::size_t leftOut = 0;
    std::unique_ptr<AdapterConfigList> desired = getDesiredConfig(nullptr, &leftOut);
    ASSERT_TRUE(desired);
    EXPECT_EQ(desired->size(), 2u);
    EXPECT_EQ(leftOut, 1u);
    EXPECT_EQ(sim::sleepsTaken(), (std::vector<unsigned>{1000, 3000, 5000, 5000, 5000}));
    EXPECT_EQ(sim::httpRequests().size(), 2u + 5u + 5u + 4u);
    const std::string log = newLog();
    for (const auto& [status, url] : {std::pair{503, gatewayUrl(kFirst.entry, kFirst.primary)},
                                      {429, ipsUrl(kSecond.entry)}, {500, primaryUrl(kThird.entry)}}) {
        const std::string line = "metadata service busy (HTTP " + std::to_string(status) + ") for " + narrow(url) + ", asking again\n";
        EXPECT_EQ(log.find(line), log.rfind(line)) << line;  // one line each
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_NE(log.find("config gateway=10.0.1.1\n"), std::string::npos);
    EXPECT_NE(log.find(leftOutLine(kThird.entry, "its primary address could not be fetched")), std::string::npos);

    // A run's asking again stops at a minute in all, each busy answer's 5 s
    // counted too: two adapters busy for good use it up, four fail at once.
    sim::resetSystem();
    std::string listing;
    for (char i = '0'; i < '6'; ++i) {
        listing += "52:54:00:ab:cd:0" + std::string(1, i) + "/\n";
        busy(primaryUrl("52:54:00:ab:cd:0" + std::string(1, i)), "10.0.1.5", 503, 99, 5, 5000);
    }
    sim::setHttpBody(kMacsUrl, listing);
    EXPECT_FALSE(getDesiredConfig(nullptr, &leftOut));
    EXPECT_EQ(sim::sleepsTaken(), std::vector<unsigned>(6, 5000));
}

TEST_F(BuilderTest, BadListingEntriesAreSkipped) {
    // A hyphenated entry in the middle; the other two are built.
    scriptService(kFirst.entry + "/\nfa-16-3e-00-00-02/\n" + kThird.entry + "/", {kFirst, kThird});
    std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();
    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 2u);
    EXPECT_EQ(newLog(), headLog({kFirst.entry, "fa-16-3e-00-00-02", kThird.entry}) +
                            turnLog(kFirst, {"10.0.1.5", "10.0.1.6"}) + "check mac error\n" +
                            leftOutLine("fa-16-3e-00-00-02", kNotAMac) +
                            turnLog(kThird, {"192.168.3.10", "192.168.3.11", "192.168.3.12"}));

    // CRLF line ends spoil every entry after the first; none of them is built
    // and, the first being the main one, nothing at all is.
    sim::resetHttp();
    scriptService(kMain + "/\r\n" + kFirst.entry + "/\r\n", {kFirst});
    desired = getDesiredConfig();
    EXPECT_FALSE(desired);
    EXPECT_EQ(newLog(), headLog({"\r\n" + kFirst.entry, "\r"}) + "check mac error\n" +
                            leftOutLine("\r\n" + kFirst.entry, kNotAMac) + "check mac error\n" +
                            leftOutLine("\r", kNotAMac));
    EXPECT_EQ(sim::httpRequests().size(), 2u);
}

TEST_F(BuilderTest, PrimaryAddressLeadsTheAddressList) {
    const Adapter apbp{kFirst.entry, "10.0.1.5", "10.0.1.7/\n10.0.1.5/\n10.0.1.8/\n10.0.1.5/",
                       "10.0.1.1", "255.255.255.0"};
    const Adapter unlisted{kSecond.entry, "10.0.2.5", "10.0.2.7/\n10.0.2.8", "10.0.2.1",
                           "255.255.255.0"};
    scriptService(kFirst.entry + "/\n" + kSecond.entry + "/\n", {apbp, unlisted});

    const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();

    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 2u);
    EXPECT_EQ(*(*desired)[0].ipList, texts({L"10.0.1.5", L"10.0.1.7", L"10.0.1.8", L"10.0.1.5"}));
    EXPECT_EQ(*(*desired)[1].ipList, texts({L"10.0.2.5", L"10.0.2.7", L"10.0.2.8"}));
    // The listing is logged in its own order, before the primary moves up.
    EXPECT_EQ(logText(), headLog({kFirst.entry, kSecond.entry}) +
                             turnLog(apbp, {"10.0.1.7", "10.0.1.5", "10.0.1.8", "10.0.1.5"}) +
                             turnLog(unlisted, {"10.0.2.7", "10.0.2.8"}));
}

TEST_F(BuilderTest, LargestAnswersThatFitAreUsedWhole) {
    // 899 characters of address listing are the most its buffer holds.
    std::string ips;
    std::vector<std::string> listed;
    for (int i = 1; ips.size() + 20 < 899; ++i) {
        listed.push_back("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
        ips += listed.back() + "/\n";
    }
    ips += std::string(899 - ips.size(), '\n');
    ASSERT_EQ(ips.size(), 899u);
    const Adapter big{kFirst.entry, listed.back(), ips, "10.0.0.1", "255.255.0.0"};
    scriptService(kFirst.entry + "/\n", {big});

    std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();

    ASSERT_TRUE(desired);
    ASSERT_EQ((*desired)[0].ipList->size(), listed.size());
    EXPECT_EQ((*desired)[0].ipList->back(), widen(listed[listed.size() - 2]));
    EXPECT_EQ(newLog(), headLog({kFirst.entry}) + turnLog(big, listed));
}

// A metadata service that answers with anything but what it should: every
// case ends in its own log line, the adapter (or the run) is given up, and
// no record ever holds a text that did not pass its check.

TEST_F(BuilderTest, MalformedAddressesAreRefusedWhereverTheyAppear) {
    // Each bad form in each place that takes an address: the adapter is
    // dropped after that place's own failure line, and the next adapter,
    // served properly, still comes through.
    const std::string bad[] = {"1.2.3.4 ", "1.2.3", "256.1.1.1", "01.2.3.4", "1.2.3.4\r",
                               "\xef\xbc\x91.2.3.4"};
    const std::string next = "fa:16:3e:00:00:02";
    for (const std::string& text : bad) {
        struct Place {
            const char* name;
            std::string primary, ips, gateway, mask, failure;
        };
        const std::string ok = "10.0.1.5";
        const Place places[] = {
            {"primary", text, text + "/", "10.0.1.1", "255.255.255.0",
             "config main ip=" + text + "\ncheck main ip addr fail\n"},
            {"address list", ok, ok + "/\n" + text + "/\n", "10.0.1.1", "255.255.255.0",
             "config ip=" + text + "\ncheck ip addr fail\n"},
            {"gateway", ok, ok + "/", text, "255.255.255.0",
             "config gateway=" + text + "\ncheck gateway addr fail\n"},
            {"mask", ok, ok + "/", "10.0.1.1", text, "config mask=" + text + "\ncheck mask addr fail\n"},
        };
        for (const Place& place : places) {
            SCOPED_TRACE(std::string(place.name) + " '" + text + "'");
            sim::resetHttp();
            scriptService(kFirst.entry + "/\n" + next + "/\n",
                          {{kFirst.entry, place.primary, place.ips, place.gateway, place.mask},
                           firstUnder(next)});

            const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();

            ASSERT_TRUE(desired);
            ASSERT_EQ(desired->size(), 1u);
            EXPECT_EQ((*desired)[0].mac[5], 0x02);
            expectOnlyCheckedTexts(*desired);
            const std::string log = newLog();
            if (text.find_first_of("\r\xef") == std::string::npos) {
                // Plain ASCII comes out in the log as it was served.
                EXPECT_NE(log.find(place.failure), std::string::npos) << log;
            }
            const std::string failLine = place.failure.substr(place.failure.rfind("check "));
            const std::size_t at = log.find(failLine);
            ASSERT_NE(at, std::string::npos) << log;
            // The failure and the line that the adapter is left out end the
            // bad adapter's turn; the next one starts.
            const std::string leftOut = "adapter " + kFirst.entry + " not configured: ";
            EXPECT_EQ(log.compare(at + failLine.size(), leftOut.size(), leftOut), 0) << log;
            const std::size_t next = log.find('\n', at + failLine.size()) + 1;
            EXPECT_EQ(log.compare(next, 15, "config main ip="), 0) << log;
        }
    }
}

TEST_F(BuilderTest, ErrorPagesForEveryResource) {
    struct Case {
        const char* name;
        std::wstring url;
        std::string log;  // the lines from the page on
        bool noList;
    };
    // A page is too long for the 29-character answers and fails the fetch
    // there; the listings have room for it and split it into nonsense.
    const std::string page =
        "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>";
    const std::string& e = kFirst.entry;
    const Case cases[] = {
        {"main mac", kMacUrl, "get main mac error url:" + narrow(kMacUrl) + "\n", true},
        {"listing", kMacsUrl,
         "vecMacs.size:6\nmac=<html><head><title>404 Not Found<\nmac=title><\nmac=head><body><h1>Not "
         "Found<\nmac=h1><\nmac=body><\nmac=html>\ncheck mac error\n" +
             leftOutLine("<html><head><title>404 Not Found<", kNotAMac) + "check mac error\n" +
             leftOutLine("title><", kNotAMac) + "check mac error\n" +
             leftOutLine("head><body><h1>Not Found<", kNotAMac) + "check mac error\n" +
             leftOutLine("h1><", kNotAMac) + "check mac error\n" + leftOutLine("body><", kNotAMac) +
             "check mac error\n" + leftOutLine("html>", kNotAMac),
         true},
        {"primary", primaryUrl(e),
         "get primary-local-ipv4 error url:" + narrow(primaryUrl(e)) + "\n" +
             leftOutLine(e, "its primary address could not be fetched"),
         true},
        {"address list", ipsUrl(e),
         "vecIps.size:6\nconfig ip=<html><head><title>404 Not Found<\ncheck ip addr fail\n" +
             leftOutLine(e, "its address list holds something that is not an IPv4 address"),
         true},
        {"gateway", gatewayUrl(e, "10.0.1.5"),
         "get gateway error url:" + narrow(gatewayUrl(e, "10.0.1.5")) + "\n" +
             leftOutLine(e, "its gateway could not be fetched"),
         true},
        {"mask", maskUrl(e, "10.0.1.5"),
         "get mask error url:" + narrow(maskUrl(e, "10.0.1.5")) + "\n" +
             leftOutLine(e, "its subnet mask could not be fetched"),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::resetHttp();
        scriptService(e + "/\n", {kFirst});
        sim::setHttpBody(c.url, page);

        EXPECT_FALSE(getDesiredConfig());
        const std::string log = newLog();
        ASSERT_GE(log.size(), c.log.size()) << log;
        EXPECT_EQ(log.substr(log.size() - c.log.size()), c.log);
    }

    // A short page still fits the value answers and is then refused by
    // the check, never copied.
    const std::string shortPage = "<h1>404</h1>";
    for (bool gateway : {true, false}) {
        sim::resetHttp();
        scriptService(e + "/\n", {kFirst});
        sim::setHttpBody(gateway ? gatewayUrl(e, "10.0.1.5") : maskUrl(e, "10.0.1.5"), shortPage);
        EXPECT_FALSE(getDesiredConfig());
        const std::string log = newLog();
        const std::string expected =
            gateway ? "config gateway=<h1>404</h1>\ncheck gateway addr fail\n" +
                          leftOutLine(e, "its gateway is not an IPv4 address")
                    : "config mask=<h1>404</h1>\ncheck mask addr fail\n" +
                          leftOutLine(e, "its subnet mask is not an IPv4 address");
        EXPECT_EQ(log.substr(log.size() - expected.size()), expected) << log;
    }
}

TEST_F(BuilderTest, ValueAnswersAtTheirLimit) {
    // 29 characters fit the 30-character buffers and reach the check; 30 do
    // not fit and fail as a fetch. Either way the adapter is dropped.
    const std::string& e = kFirst.entry;
    for (std::size_t length : {29u, 30u}) {
        const std::string padded = "10.0.1.1" + std::string(length - 8, ' ');
        for (bool gateway : {true, false}) {
            SCOPED_TRACE((gateway ? "gateway " : "mask ") + std::to_string(length));
            sim::resetHttp();
            scriptService(e + "/\n", {{e, "10.0.1.5", "10.0.1.5/", gateway ? padded : "10.0.1.1",
                                       gateway ? "255.255.255.0" : padded}});
            EXPECT_FALSE(getDesiredConfig());
            std::string expected;
            const std::string what = gateway ? "its gateway" : "its subnet mask";
            if (length == 29) {
                expected = (gateway ? "config gateway=" + padded + "\ncheck gateway addr fail\n"
                                    : "config mask=" + padded + "\ncheck mask addr fail\n") +
                           leftOutLine(e, what + " is not an IPv4 address");
            } else {
                expected = (gateway ? "get gateway error url:" + narrow(gatewayUrl(e, "10.0.1.5")) + "\n"
                                    : "get mask error url:" + narrow(maskUrl(e, "10.0.1.5")) + "\n") +
                           leftOutLine(e, what + " could not be fetched");
            }
            const std::string log = newLog();
            EXPECT_EQ(log.substr(log.size() - expected.size()), expected) << log;
        }
    }

    // The main hardware address: 29 characters are read and refused by the
    // check, 30 and more fail the fetch.
    sim::resetHttp();
    sim::setHttpBody(kMacUrl, kMain + std::string(12, '0'));
    EXPECT_FALSE(getDesiredConfig());
    EXPECT_EQ(newLog(), "main mac=" + kMain + std::string(12, '0') + "\nmain mac error\n");
}

TEST_F(BuilderTest, HardwareAddressForms) {
    // The machine's own address in another form than the colon one is no
    // address at all: the run gives up before the listing.
    for (const std::string& main : {std::string("52-54-00-00-00-01"), std::string("52:54:00:00:00:1"),
                                    std::string("52:54:00:00:00:001"), std::string("5254.0000.0001")}) {
        SCOPED_TRACE(main);
        sim::resetHttp();
        scriptService(kFirst.entry + "/\n", {kFirst});
        sim::setHttpBody(kMacUrl, main);
        EXPECT_FALSE(getDesiredConfig());
        EXPECT_EQ(newLog(), "main mac=" + main + "\nmain mac error\n");
        EXPECT_EQ(sim::httpRequests().size(), 1u);
    }

    // Listing entries of odd length or with hyphens are skipped before any
    // request is built from them; capitals are fine and give the same bytes.
    sim::resetHttp();
    const std::vector<std::string> odd = {"52:54:00:ab:cd:e", "52:54:00:ab:cd:eff", "52-54-00-ab-cd-ef",
                                          "52:54:00:ab:cd:e\xe9"};
    std::string listing;
    for (const std::string& e : odd) listing += e + "/\n";
    listing += "52:54:00:AB:CD:EF/\n";
    scriptService(listing, {firstUnder("52:54:00:AB:CD:EF")});
    const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();
    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 1u);
    const std::uint8_t bytes[6] = {0x52, 0x54, 0x00, 0xab, 0xcd, 0xef};
    EXPECT_EQ(std::memcmp((*desired)[0].mac, bytes, 6), 0);
    const std::string log = newLog();
    std::size_t skipped = 0;
    for (std::size_t at = log.find("check mac error\n"); at != std::string::npos;
         at = log.find("check mac error\n", at + 1)) {
        ++skipped;
    }
    EXPECT_EQ(skipped, odd.size()) << log;
    // Requests: the two listings, then only the good adapter's four.
    EXPECT_EQ(sim::httpRequests().size(), 6u);
    for (std::size_t i = 2; i < sim::httpRequests().size(); ++i) {
        EXPECT_EQ(sim::httpRequests()[i].compare(0, kMacsUrl.size() + 17,
                                                 kMacsUrl + L"52:54:00:AB:CD:EF"),
                  0);
    }
}

TEST_F(BuilderTest, ZeroBytesEndTheTextAndOtherBytesAreRefused) {
    // A zero byte ends an answer: the listing's entries behind it are never
    // seen, and an address followed by a zero byte and junk is the address.
    const std::string zero(1, '\0');
    const std::string& e = kFirst.entry;
    sim::setHttpBody(kMacUrl, kMain);
    sim::setHttpBody(kMacsUrl, e + "/\n" + zero + "fa:16:3e:00:00:02/\n");
    sim::setHttpBody(primaryUrl(e), "10.0.1.5" + zero + "; junk");
    sim::setHttpBody(ipsUrl(e), "10.0.1.5/" + zero + "10.0.1.6/");
    sim::setHttpBody(gatewayUrl(e, "10.0.1.5"), "10.0.1.1" + zero + "0");
    sim::setHttpBody(maskUrl(e, "10.0.1.5"), "255.255.255.0" + zero + "\xff\xfe");
    std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();
    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 1u);
    EXPECT_EQ(*(*desired)[0].ipList, TextList{L"10.0.1.5"});
    EXPECT_EQ(std::wstring((*desired)[0].gateway), L"10.0.1.1");
    EXPECT_EQ(std::wstring((*desired)[0].mask), L"255.255.255.0");
    const std::string head = headLog({e});
    EXPECT_EQ(newLog().substr(0, head.size()), head);

    // Bytes above 127 are characters of the code page, never digits.
    sim::resetHttp();
    scriptService(e + "/\n", {{e, "10.0.1.5", "10.0.1.5/\n10.0.1.\xb9/\n", "10.0.1.1", "255.255.255.0"}});
    EXPECT_FALSE(getDesiredConfig());
    const std::string log = newLog();
    EXPECT_NE(log.find("vecIps.size:2\nconfig ip=10.0.1.5\nconfig ip=10.0.1."), std::string::npos) << log;
    const std::string last =
        "\ncheck ip addr fail\n" + leftOutLine(e, "its address list holds something that is not an IPv4 address");
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

TEST_F(BuilderTest, HundredsOfListingEntries) {
    // 1024 one-letter entries fill the adapter listing's 2047 characters:
    // each is logged and turned away, and nothing is fetched for any of them.
    std::string listing;
    for (int i = 0; i < 1023; ++i) listing += "x/";
    listing += "x";
    ASSERT_EQ(listing.size(), 2047u);
    scriptService(listing, {});
    EXPECT_FALSE(getDesiredConfig());
    std::string expected = "main mac=" + kMain + "\nvecMacs.size:1024\n";
    for (int i = 0; i < 1024; ++i) expected += "mac=x\n";
    for (int i = 0; i < 1024; ++i) expected += "check mac error\n" + leftOutLine("x", kNotAMac);
    EXPECT_EQ(newLog(), expected);
    EXPECT_EQ(sim::httpRequests().size(), 2u);

    // 449 address entries fill the address listing; the first bad one ends
    // the adapter's turn.
    sim::resetHttp();
    std::string ips;
    for (int i = 0; i < 449; ++i) ips += "1/";
    scriptService(kFirst.entry + "/\n", {{kFirst.entry, "10.0.1.5", ips, "10.0.1.1", "255.255.255.0"}});
    EXPECT_FALSE(getDesiredConfig());
    const std::string log = newLog();
    EXPECT_NE(log.find("vecIps.size:449\nconfig ip=1\ncheck ip addr fail\n"), std::string::npos) << log;

    // 107 proper adapters are all the listing has room for (with line feeds
    // up to its 2047 characters); all are built, and a whole run sets,
    // checks and saves every one of them.
    sim::resetHttp();
    listing.clear();
    std::vector<Adapter> adapters;
    std::vector<platform::AdapterEntry> table;
    for (int i = 0; i < 107; ++i) {
        char entry[18];
        std::snprintf(entry, sizeof entry, "52:54:00:00:01:%02x", i);
        adapters.push_back(firstUnder(entry));
        listing += adapters.back().entry + "/\n";
        table.push_back(adapterWith(L"Ethernet " + std::to_wstring(i + 2),
                                    {0x52, 0x54, 0x00, 0x00, 0x01, static_cast<std::uint8_t>(i)},
                                    {}, 0, ""));
    }
    ASSERT_LE(listing.size(), 2047u);
    listing += std::string(2047 - listing.size(), '\n');
    scriptService(listing, adapters);
    const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();
    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 107u);
    for (std::size_t i = 0; i < 107; ++i) EXPECT_EQ((*desired)[i].mac[5], i);
    expectOnlyCheckedTexts(*desired);

    writeFile(iniPath, "[eth0]\r\nGATEWAY=10.0.0.1\r\n");
    sim::setAdapters(table);
    EXPECT_EQ(runConfiguration(), 0);
    const std::vector<std::wstring>& commands = sim::commandsStarted();
    ASSERT_EQ(commands.size(), 1u + 2u * 107u);  // the route, then set and add for each
    EXPECT_EQ(commands.back(), kAddPrefix + L"Ethernet 108\" 10.0.1.6 255.255.255.0");
    const std::string run = logText();
    EXPECT_EQ(countOf(run, "start set config ip submask gateway...\n"), 107u);
    EXPECT_EQ(run.find("cannot find"), std::string::npos);
    const std::string ini = readFile(iniPath);
    EXPECT_EQ(countOf(ini, "[eth:52:54:00:00:01:"), 107u);
    EXPECT_NE(ini.find("[eth:52:54:00:00:01:6A]\r\nmac=52:54:00:00:01:6A\r\nip=10.0.1.5,10.0.1.6\r\n"),
              std::string::npos);
}

TEST_F(BuilderTest, ARunOnNothingButErrorPagesFailsWithoutTouchingAnything) {
    const std::string ini = "[eth0]\r\nGATEWAY=10.0.0.1\r\n";
    writeFile(iniPath, ini);
    std::remove(logPath.c_str());
    const std::string page = "<h1>503</h1>";
    scriptService(kFirst.entry + "/\n", {{kFirst.entry, page, page, page, page}});

    EXPECT_EQ(runConfiguration(), -1);

    const std::string log = readFile(logPath);
    EXPECT_NE(log.find("config main ip=<h1>503</h1>\ncheck main ip addr fail\n" +
                       leftOutLine(kFirst.entry, "its primary address is not an IPv4 address") +
                       "config file error , no configure information\nconfigure end\n"),
              std::string::npos)
        << log;
    // The route was the only command: no netsh ever ran.
    ASSERT_EQ(sim::commandsStarted().size(), 1u);
    EXPECT_EQ(sim::commandsStarted()[0].compare(0, 9, L"route add"), 0);
    EXPECT_EQ(sim::adapterQueries(), 0u);
    EXPECT_EQ(readFile(iniPath), ini);
    EXPECT_FALSE(fileExistsOnDisk(backupPath));
}
