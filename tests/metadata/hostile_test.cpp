// A metadata service that answers with anything but what it should: every
// case ends in its own log line, the adapter (or the run) is given up, and
// no record ever holds a text that did not pass its check.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/driver.h"
#include "metadata/builder.h"
#include "metadata/parse.h"
#include "platform/sim/sim.h"
#include "support/sim_test.h"

namespace {

const std::wstring kBase = L"http://169.254.0.254";
const std::wstring kMacUrl = kBase + L"/meta-data/mac";
const std::wstring kMacsUrl = kBase + L"/meta-data/network/interfaces/macs/";
const std::string kMain = "52:54:00:00:00:01";
const std::string kEntry = "52:54:00:ab:cd:ef";
const std::string kPage =
    "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>";

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring adapterUrl(const std::string& entry, const std::string& tail) {
    return kMacsUrl + widen(entry) + L"/" + widen(tail);
}

// One adapter served in full, under the machine's own.
void serveAdapter(const std::string& entry, const std::string& primary, const std::string& ips,
                  const std::string& gateway, const std::string& mask) {
    sim::setHttpBody(adapterUrl(entry, "primary-local-ipv4/"), primary);
    sim::setHttpBody(adapterUrl(entry, "local-ipv4s/"), ips);
    sim::setHttpBody(adapterUrl(entry, "local-ipv4s/" + primary + "/gateway"), gateway);
    sim::setHttpBody(adapterUrl(entry, "local-ipv4s/" + primary + "/subnet-mask"), mask);
}

void serveGoodAdapter(const std::string& entry = kEntry) {
    serveAdapter(entry, "10.0.1.5", "10.0.1.5/\n10.0.1.6/", "10.0.1.1", "255.255.255.0");
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

class HostileMetadata : public SimTest {};

}  // namespace

TEST_F(HostileMetadata, MalformedAddressesAreRefusedWhereverTheyAppear) {
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
            sim::setHttpBody(kMacUrl, kMain);
            sim::setHttpBody(kMacsUrl, kEntry + "/\n" + next + "/\n");
            serveAdapter(kEntry, place.primary, place.ips, place.gateway, place.mask);
            serveGoodAdapter(next);

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
            // The failure is the bad adapter's last line; the next one starts.
            EXPECT_EQ(log.compare(at + failLine.size(), 15, "config main ip="), 0) << log;
        }
    }
}

TEST_F(HostileMetadata, ErrorPagesForEveryResource) {
    struct Case {
        const char* name;
        std::wstring url;
        std::string log;  // the lines from the page on
        bool noList;
    };
    // A page is too long for the 29-character answers and fails the fetch
    // there; the listings have room for it and split it into nonsense.
    const std::string ipsUrl = narrow(adapterUrl(kEntry, "local-ipv4s/"));
    const Case cases[] = {
        {"main mac", kMacUrl, "get main mac error url:" + narrow(kMacUrl) + "\n", true},
        {"listing", kMacsUrl,
         "vecMacs.size:6\nmac=<html><head><title>404 Not Found<\nmac=title><\nmac=head><body><h1>Not "
         "Found<\nmac=h1><\nmac=body><\nmac=html>\ncheck mac error\ncheck mac error\ncheck mac "
         "error\ncheck mac error\ncheck mac error\ncheck mac error\n",
         true},
        {"primary", adapterUrl(kEntry, "primary-local-ipv4/"),
         "get primary-local-ipv4 error url:" + narrow(adapterUrl(kEntry, "primary-local-ipv4/")) +
             "\n",
         true},
        {"address list", adapterUrl(kEntry, "local-ipv4s/"),
         "vecIps.size:6\nconfig ip=<html><head><title>404 Not Found<\ncheck ip addr fail\n", true},
        {"gateway", adapterUrl(kEntry, "local-ipv4s/10.0.1.5/gateway"),
         "get gateway error url:" + ipsUrl + "10.0.1.5/gateway\n", true},
        {"mask", adapterUrl(kEntry, "local-ipv4s/10.0.1.5/subnet-mask"),
         "get mask error url:" + ipsUrl + "10.0.1.5/subnet-mask\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::resetHttp();
        sim::setHttpBody(kMacUrl, kMain);
        sim::setHttpBody(kMacsUrl, kEntry + "/\n");
        serveGoodAdapter();
        sim::setHttpBody(c.url, kPage);

        EXPECT_FALSE(getDesiredConfig());
        const std::string log = newLog();
        ASSERT_GE(log.size(), c.log.size()) << log;
        EXPECT_EQ(log.substr(log.size() - c.log.size()), c.log);
    }

    // A short page still fits the value answers and is then refused by
    // the check, never copied.
    const std::string shortPage = "<h1>404</h1>";
    for (const char* tail : {"local-ipv4s/10.0.1.5/gateway", "local-ipv4s/10.0.1.5/subnet-mask"}) {
        sim::resetHttp();
        sim::setHttpBody(kMacUrl, kMain);
        sim::setHttpBody(kMacsUrl, kEntry + "/\n");
        serveGoodAdapter();
        sim::setHttpBody(adapterUrl(kEntry, tail), shortPage);
        EXPECT_FALSE(getDesiredConfig());
        const std::string log = newLog();
        const bool gateway = std::strstr(tail, "gateway") != nullptr;
        const std::string expected = gateway ? "config gateway=<h1>404</h1>\ncheck gateway addr fail\n"
                                             : "config mask=<h1>404</h1>\ncheck mask addr fail\n";
        EXPECT_EQ(log.substr(log.size() - expected.size()), expected) << log;
    }
}

TEST_F(HostileMetadata, ValueAnswersAtTheirLimit) {
    // 29 characters fit the 30-character buffers and reach the check; 30 do
    // not fit and fail as a fetch. Either way the adapter is dropped.
    const std::string gatewayUrl = narrow(adapterUrl(kEntry, "local-ipv4s/10.0.1.5/gateway"));
    const std::string maskUrl = narrow(adapterUrl(kEntry, "local-ipv4s/10.0.1.5/subnet-mask"));
    for (std::size_t length : {29u, 30u}) {
        const std::string padded = "10.0.1.1" + std::string(length - 8, ' ');
        for (bool gateway : {true, false}) {
            SCOPED_TRACE((gateway ? "gateway " : "mask ") + std::to_string(length));
            sim::resetHttp();
            sim::setHttpBody(kMacUrl, kMain);
            sim::setHttpBody(kMacsUrl, kEntry + "/\n");
            serveAdapter(kEntry, "10.0.1.5", "10.0.1.5/", gateway ? padded : "10.0.1.1",
                         gateway ? "255.255.255.0" : padded);
            EXPECT_FALSE(getDesiredConfig());
            std::string expected;
            if (length == 29) {
                expected = gateway ? "config gateway=" + padded + "\ncheck gateway addr fail\n"
                                   : "config mask=" + padded + "\ncheck mask addr fail\n";
            } else {
                expected = gateway ? "get gateway error url:" + gatewayUrl + "\n"
                                   : "get mask error url:" + maskUrl + "\n";
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

TEST_F(HostileMetadata, HardwareAddressForms) {
    // The machine's own address in another form than the colon one is no
    // address at all: the run gives up before the listing.
    for (const std::string& main : {std::string("52-54-00-00-00-01"), std::string("52:54:00:00:00:1"),
                                    std::string("52:54:00:00:00:001"), std::string("5254.0000.0001")}) {
        SCOPED_TRACE(main);
        sim::resetHttp();
        sim::setHttpBody(kMacUrl, main);
        sim::setHttpBody(kMacsUrl, kEntry + "/\n");
        serveGoodAdapter();
        EXPECT_FALSE(getDesiredConfig());
        EXPECT_EQ(newLog(), "main mac=" + main + "\nmain mac error\n");
        EXPECT_EQ(sim::httpRequests().size(), 1u);
    }

    // Listing entries of odd length or with hyphens are skipped before any
    // request is built from them; capitals are fine and give the same bytes.
    sim::resetHttp();
    sim::setHttpBody(kMacUrl, kMain);
    const std::vector<std::string> odd = {"52:54:00:ab:cd:e", "52:54:00:ab:cd:eff", "52-54-00-ab-cd-ef",
                                          "52:54:00:ab:cd:e\xe9"};
    std::string listing;
    for (const std::string& e : odd) listing += e + "/\n";
    listing += "52:54:00:AB:CD:EF/\n";
    sim::setHttpBody(kMacsUrl, listing);
    serveGoodAdapter("52:54:00:AB:CD:EF");
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

TEST_F(HostileMetadata, ZeroBytesEndTheTextAndOtherBytesAreRefused) {
    // A zero byte ends an answer: the listing's entries behind it are never
    // seen, and an address followed by a zero byte and junk is the address.
    const std::string zero(1, '\0');
    sim::setHttpBody(kMacUrl, kMain);
    sim::setHttpBody(kMacsUrl, kEntry + "/\n" + zero + "fa:16:3e:00:00:02/\n");
    sim::setHttpBody(adapterUrl(kEntry, "primary-local-ipv4/"), "10.0.1.5" + zero + "; junk");
    sim::setHttpBody(adapterUrl(kEntry, "local-ipv4s/"), "10.0.1.5/" + zero + "10.0.1.6/");
    sim::setHttpBody(adapterUrl(kEntry, "local-ipv4s/10.0.1.5/gateway"), "10.0.1.1" + zero + "0");
    sim::setHttpBody(adapterUrl(kEntry, "local-ipv4s/10.0.1.5/subnet-mask"),
                     "255.255.255.0" + zero + "\xff\xfe");
    std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();
    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 1u);
    EXPECT_EQ(*(*desired)[0].ipList, TextList{L"10.0.1.5"});
    EXPECT_EQ(std::wstring((*desired)[0].gateway), L"10.0.1.1");
    EXPECT_EQ(std::wstring((*desired)[0].mask), L"255.255.255.0");
    const std::string head = "main mac=" + kMain + "\nvecMacs.size:1\nmac=" + kEntry + "\n";
    EXPECT_EQ(newLog().substr(0, head.size()), head);

    // Bytes above 127 are characters of the code page, never digits.
    sim::resetHttp();
    sim::setHttpBody(kMacUrl, kMain);
    sim::setHttpBody(kMacsUrl, kEntry + "/\n");
    serveAdapter(kEntry, "10.0.1.5", "10.0.1.5/\n10.0.1.\xb9/\n", "10.0.1.1", "255.255.255.0");
    EXPECT_FALSE(getDesiredConfig());
    const std::string log = newLog();
    EXPECT_NE(log.find("vecIps.size:2\nconfig ip=10.0.1.5\nconfig ip=10.0.1."), std::string::npos) << log;
    const std::string last = "\ncheck ip addr fail\n";
    ASSERT_GE(log.size(), last.size());
    EXPECT_EQ(log.substr(log.size() - last.size()), last);
}

TEST_F(HostileMetadata, HundredsOfListingEntries) {
    // 119 one-letter entries fill the adapter listing: each is logged and
    // turned away, and nothing is fetched for any of them.
    std::string listing;
    for (int i = 0; i < 119; ++i) listing += "x/";
    ASSERT_EQ(listing.size(), 238u);
    sim::setHttpBody(kMacUrl, kMain);
    sim::setHttpBody(kMacsUrl, listing);
    EXPECT_FALSE(getDesiredConfig());
    std::string expected = "main mac=" + kMain + "\nvecMacs.size:119\n";
    for (int i = 0; i < 119; ++i) expected += "mac=x\n";
    for (int i = 0; i < 119; ++i) expected += "check mac error\n";
    EXPECT_EQ(newLog(), expected);
    EXPECT_EQ(sim::httpRequests().size(), 2u);

    // 449 address entries fill the address listing; the first bad one ends
    // the adapter's turn.
    sim::resetHttp();
    std::string ips;
    for (int i = 0; i < 449; ++i) ips += "1/";
    sim::setHttpBody(kMacUrl, kMain);
    sim::setHttpBody(kMacsUrl, kEntry + "/\n");
    serveAdapter(kEntry, "10.0.1.5", ips, "10.0.1.1", "255.255.255.0");
    EXPECT_FALSE(getDesiredConfig());
    const std::string log = newLog();
    EXPECT_NE(log.find("vecIps.size:449\nconfig ip=1\ncheck ip addr fail\n"), std::string::npos) << log;

    // Twelve proper adapters are all the listing has room for; all are built.
    sim::resetHttp();
    sim::setHttpBody(kMacUrl, kMain);
    listing.clear();
    std::vector<std::string> entries;
    for (int i = 0; i < 12; ++i) {
        char entry[18];
        std::snprintf(entry, sizeof entry, "52:54:00:00:01:%02x", i);
        entries.push_back(entry);
        listing += entries.back() + "/\n";
        serveGoodAdapter(entries.back());
    }
    ASSERT_LT(listing.size(), 240u);
    sim::setHttpBody(kMacsUrl, listing);
    const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();
    ASSERT_TRUE(desired);
    ASSERT_EQ(desired->size(), 12u);
    for (std::size_t i = 0; i < 12; ++i) EXPECT_EQ((*desired)[i].mac[5], i);
    expectOnlyCheckedTexts(*desired);
}

TEST_F(HostileMetadata, ARunOnNothingButErrorPagesFailsWithoutTouchingAnything) {
    const std::string ini = "[eth0]\r\nGATEWAY=10.0.0.1\r\n";
    writeFile(iniPath, ini);
    std::remove(logPath.c_str());
    const std::string page = "<h1>503</h1>";
    sim::setHttpBody(kMacUrl, kMain);
    sim::setHttpBody(kMacsUrl, kEntry + "/\n");
    serveAdapter(kEntry, page, page, page, page);

    EXPECT_EQ(runConfiguration(), -1);

    const std::string log = readFile(logPath);
    EXPECT_NE(log.find("config main ip=<h1>503</h1>\ncheck main ip addr fail\n"
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
