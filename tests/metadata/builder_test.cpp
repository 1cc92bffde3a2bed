#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "metadata/builder.h"
#include "platform/sim/sim.h"
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

TextList texts(std::initializer_list<const wchar_t*> items) {
    TextList out;
    for (const wchar_t* item : items) out.push_back(item);
    return out;
}

void expectMac(const AdapterConfig& record, std::vector<std::uint8_t> bytes) {
    ASSERT_EQ(bytes.size(), 6u);
    EXPECT_EQ(0, std::memcmp(record.mac, bytes.data(), 6));
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
    EXPECT_FALSE(getDesiredConfig());
    EXPECT_EQ(sim::httpRequests(), std::vector<std::wstring>{L"http://10.1.2.3:8080/meta-data/mac"});
    EXPECT_EQ(logText(), "get main mac error url:http://10.1.2.3:8080/meta-data/mac\n");
}

TEST_F(BuilderTest, MainAdapterRemovedOnlyOnAnExactMatch) {
    // The main address in capitals is another text, and of two copies of
    // it only the first goes.
    sim::setHttpBody(kMacUrl, "52:54:00:0a:0b:0c");
    const Adapter capitals{"52:54:00:0A:0B:0C", "10.0.6.5", "10.0.6.5/", "10.0.6.1",
                           "255.255.255.0"};
    const Adapter other{kMain, "10.0.4.5", "10.0.4.5/", "10.0.4.1", "255.255.255.0"};
    const Adapter mainAgain{"52:54:00:0a:0b:0c", "10.0.5.5", "10.0.5.5/", "10.0.5.1",
                            "255.255.255.0"};
    sim::setHttpBody(kMacsUrl, "52:54:00:0A:0B:0C/\n52:54:00:0a:0b:0c/\n" + kMain +
                                   "/\n52:54:00:0a:0b:0c/");
    for (const Adapter* a : {&capitals, &other, &mainAgain}) scriptAdapter(*a);

    const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();

    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 3u);
    expectMac((*desired)[0], {0x52, 0x54, 0x00, 0x0a, 0x0b, 0x0c});
    EXPECT_EQ((*desired)[0].ipList->front(), L"10.0.6.5");
    expectMac((*desired)[1], {0x52, 0x54, 0x00, 0x00, 0x00, 0x01});
    expectMac((*desired)[2], {0x52, 0x54, 0x00, 0x0a, 0x0b, 0x0c});
    EXPECT_EQ((*desired)[2].ipList->front(), L"10.0.5.5");
    const std::string log = logText();
    EXPECT_EQ(log.substr(0, log.find("config main ip=")),
              "main mac=52:54:00:0a:0b:0c\nvecMacs.size:3\nmac=52:54:00:0A:0B:0C\nmac=" + kMain +
                  "\nmac=52:54:00:0a:0b:0c\n");
}

TEST_F(BuilderTest, MainAdapterAloneOrMissingFromTheListing) {
    scriptService(kMain + "/\n", {});
    EXPECT_FALSE(getDesiredConfig());
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
        {"main mac unreachable", [] { makeUnreachable(kMacUrl); },
         "get main mac error url:http://169.254.0.254/meta-data/mac\n", 1},
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
        {"listing too long",
         [] {
             std::string big;
             while (big.size() < 240) big += "52:54:00:ab:cd:ef/\n";
             sim::setHttpBody(kMacsUrl, big.substr(0, 240));
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
        std::function<void()> script;
        std::string log;  // the second adapter's part of the log
    };
    const Case cases[] = {
        {"primary unreachable", [&] { makeUnreachable(primaryUrl(e)); },
         "get primary-local-ipv4 error url:" + narrow(primaryUrl(e)) + "\n"},
        {"primary too long", [&] { sim::setHttpBody(primaryUrl(e), "10.0.2.5" + std::string(22, '\n')); },
         "get primary-local-ipv4 error url:" + narrow(primaryUrl(e)) + "\n"},
        {"primary error page", [&] { sim::setHttpBody(primaryUrl(e), page); },
         "config main ip=" + page + "\ncheck main ip addr fail\n"},
        {"primary empty", [&] { sim::setHttpBody(primaryUrl(e), ""); },
         "config main ip=\ncheck main ip addr fail\n"},
        {"primary with line feed", [&] { sim::setHttpBody(primaryUrl(e), "10.0.2.5\n"); },
         "config main ip=10.0.2.5\n\ncheck main ip addr fail\n"},
        {"addresses read fails",
         [&] {
             sim::HttpAnswer answer;
             answer.kind = sim::HttpAnswer::Kind::ReadFails;
             sim::setHttpAnswer(ipsUrl(e), answer);
         },
         "config main ip=10.0.2.5\nget local-ipv4s error url:" + narrow(ipsUrl(e)) + "\n"},
        {"addresses too long", [&] { sim::setHttpBody(ipsUrl(e), tooManyIps); },
         "config main ip=10.0.2.5\nget local-ipv4s error url:" + narrow(ipsUrl(e)) + "\n"},
        {"one bad address", [&] { sim::setHttpBody(ipsUrl(e), "10.0.2.5/\n10.0.2.300/\n10.0.2.7/"); },
         "config main ip=10.0.2.5\nvecIps.size:3\nconfig ip=10.0.2.5\nconfig ip=10.0.2.300\n"
         "check ip addr fail\n"},
        {"addresses with CRLF", [&] { sim::setHttpBody(ipsUrl(e), "10.0.2.5/\r\n10.0.2.6/\r\n"); },
         "config main ip=10.0.2.5\nvecIps.size:3\nconfig ip=10.0.2.5\nconfig ip=\r\n10.0.2.6\n"
         "check ip addr fail\n"},
        {"no addresses", [&] { sim::setHttpBody(ipsUrl(e), ""); },
         "config main ip=10.0.2.5\nvecIps.size:0\n"},
        {"only separators", [&] { sim::setHttpBody(ipsUrl(e), "\n/\n//\n"); },
         "config main ip=10.0.2.5\nvecIps.size:0\n"},
        {"gateway unreachable", [&] { makeUnreachable(gatewayUrl(e, "10.0.2.5")); },
         "config main ip=10.0.2.5\nvecIps.size:1\nconfig ip=10.0.2.5\nget gateway error url:" +
             narrow(gatewayUrl(e, "10.0.2.5")) + "\n"},
        {"gateway error page", [&] { sim::setHttpBody(gatewayUrl(e, "10.0.2.5"), page); },
         "config main ip=10.0.2.5\nvecIps.size:1\nconfig ip=10.0.2.5\nconfig gateway=" + page +
             "\ncheck gateway addr fail\n"},
        {"mask unreachable", [&] { makeUnreachable(maskUrl(e, "10.0.2.5")); },
         "config main ip=10.0.2.5\nvecIps.size:1\nconfig ip=10.0.2.5\nconfig gateway=10.0.2.1\n"
         "get mask error url:" + narrow(maskUrl(e, "10.0.2.5")) + "\n"},
        {"mask with blank", [&] { sim::setHttpBody(maskUrl(e, "10.0.2.5"), "255.255.0.0 "); },
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

        const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();

        ASSERT_TRUE(desired);
        ASSERT_EQ(desired->size(), 2u);
        expectMac((*desired)[0], {0x52, 0x54, 0x00, 0xab, 0xcd, 0xef});
        expectMac((*desired)[1], {0xfa, 0x16, 0x3e, 0x00, 0x00, 0x03});
        EXPECT_EQ(*(*desired)[1].ipList, texts({L"192.168.3.10", L"192.168.3.11", L"192.168.3.12"}));
        EXPECT_EQ(std::wstring((*desired)[1].mask), L"255.255.255.128");
        EXPECT_EQ(newLog(), head + firstTurn + c.log + thirdTurn);
    }
}

TEST_F(BuilderTest, BadListingEntriesAreSkipped) {
    // A hyphenated entry in the middle; the other two are built.
    scriptService(kFirst.entry + "/\nfa-16-3e-00-00-02/\n" + kThird.entry + "/", {kFirst, kThird});
    std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();
    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 2u);
    EXPECT_EQ(newLog(), headLog({kFirst.entry, "fa-16-3e-00-00-02", kThird.entry}) +
                            turnLog(kFirst, {"10.0.1.5", "10.0.1.6"}) + "check mac error\n" +
                            turnLog(kThird, {"192.168.3.10", "192.168.3.11", "192.168.3.12"}));

    // CRLF line ends spoil every entry after the first; none of them is built
    // and, the first being the main one, nothing at all is.
    sim::resetHttp();
    scriptService(kMain + "/\r\n" + kFirst.entry + "/\r\n", {kFirst});
    desired = getDesiredConfig();
    EXPECT_FALSE(desired);
    EXPECT_EQ(newLog(), headLog({"\r\n" + kFirst.entry, "\r"}) + "check mac error\ncheck mac error\n");
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
