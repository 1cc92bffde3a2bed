#include <cwchar>

#include "adapters/snapshot.h"
#include "adapters/test_records.h"
#include "support/sim_test.h"

namespace {

class SnapshotTest : public SimTest {};

TEST(AddressTextTest, DottedTextAndPrefixMasks) {
    EXPECT_EQ(ipv4ToText({10, 0, 0, 5}), L"10.0.0.5");
    EXPECT_EQ(ipv4ToText({255, 255, 255, 255}), L"255.255.255.255");
    EXPECT_EQ(ipv4ToText({0, 0, 0, 0}), L"0.0.0.0");

    EXPECT_EQ(prefixLengthToMask(0), L"0.0.0.0");
    EXPECT_EQ(prefixLengthToMask(1), L"128.0.0.0");
    EXPECT_EQ(prefixLengthToMask(8), L"255.0.0.0");
    EXPECT_EQ(prefixLengthToMask(17), L"255.255.128.0");
    EXPECT_EQ(prefixLengthToMask(24), L"255.255.255.0");
    EXPECT_EQ(prefixLengthToMask(31), L"255.255.255.254");
    EXPECT_EQ(prefixLengthToMask(32), L"255.255.255.255");
    EXPECT_EQ(prefixLengthToMask(33), L"");
    EXPECT_EQ(prefixLengthToMask(255), L"");
}

TEST_F(SnapshotTest, TwoPrefixesTwoGatewaysAndDnsServers) {
    platform::AdapterEntry adapter = sim::makeAdapter(L"Ethernet 2", kMacA);
    adapter.adapterName = "{6B29FC40-CA47-1067-B31D-00DD010662DA}";
    adapter.unicast = {{sim::ipv4("10.0.0.5"), 24}, {sim::ipv4("172.16.3.9"), 16}};
    adapter.dnsServers = {sim::ipv4("10.0.0.2"), sim::ipv4("8.8.4.4")};
    adapter.gateways = {sim::ipv4("10.0.0.1"), sim::ipv4("172.16.0.1")};

    AdapterConfigList list;
    getCurrentConfig(adapter, list);

    EXPECT_EQ(logText(),
              "begin getCurrentConfig\n"
              "current config AdapterName: {6B29FC40-CA47-1067-B31D-00DD010662DA}\n"
              "current config ip=10.0.0.5\n"
              "current config mask=255.255.255.0\n"
              "current config ip=172.16.3.9\n"
              "current config mask=255.255.0.0\n"
              "current config dns=10.0.0.2\n"
              "current config dns=8.8.4.4\n"
              "current config gateway=10.0.0.1\n");

    ASSERT_EQ(list.size(), 1u);
    const AdapterConfig& record = list[0];
    EXPECT_EQ(record.dhcp, 0);
    ASSERT_TRUE(record.ipList);
    EXPECT_EQ(*record.ipList, (TextList{L"10.0.0.5", L"172.16.3.9"}));
    ASSERT_TRUE(record.dnsList);
    EXPECT_EQ(*record.dnsList, (TextList{L"10.0.0.2", L"8.8.4.4"}));
    EXPECT_STREQ(record.mask, L"255.255.0.0");  // the last address's mask
    EXPECT_STREQ(record.gateway, L"10.0.0.1");  // the first gateway only
    EXPECT_EQ(std::vector<std::uint8_t>(record.mac, record.mac + 6), kMacA);
    EXPECT_EQ(record.adapterName[0], L'\0');  // the internal name is only logged
}

TEST_F(SnapshotTest, BareAdapterStillGivesARecordWithEmptyLists) {
    platform::AdapterEntry adapter = sim::makeAdapter(L"Ethernet 3", kMacB);
    AdapterConfigList list;
    getCurrentConfig(adapter, list);
    getCurrentConfig(adapter, list);  // a second snapshot lands behind the first

    EXPECT_EQ(logText(),
              "begin getCurrentConfig\ncurrent config AdapterName: {Ethernet 3}\n"
              "begin getCurrentConfig\ncurrent config AdapterName: {Ethernet 3}\n");
    ASSERT_EQ(list.size(), 2u);
    for (const AdapterConfig& record : list) {
        ASSERT_TRUE(record.ipList);
        EXPECT_TRUE(record.ipList->empty());
        ASSERT_TRUE(record.dnsList);
        EXPECT_TRUE(record.dnsList->empty());
        EXPECT_EQ(record.mask[0], L'\0');
        EXPECT_EQ(record.gateway[0], L'\0');
    }
}

TEST_F(SnapshotTest, MissingAddressesEndTheirChainAndBadPrefixesKeepTheMask) {
    platform::AdapterEntry adapter = sim::makeAdapter(L"Ethernet 4", kMacB);
    adapter.unicast = {{sim::ipv4("10.0.0.5"), 24},
                       {sim::ipv4("10.0.0.6"), 40},  // does not convert
                       {std::nullopt, 16},
                       {sim::ipv4("10.0.0.7"), 8}};
    adapter.dnsServers = {std::nullopt, sim::ipv4("10.0.0.2")};

    AdapterConfigList list;
    getCurrentConfig(adapter, list);

    EXPECT_EQ(logText(),
              "begin getCurrentConfig\ncurrent config AdapterName: {Ethernet 4}\n"
              "current config ip=10.0.0.5\ncurrent config mask=255.255.255.0\n"
              "current config ip=10.0.0.6\n");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(*list[0].ipList, (TextList{L"10.0.0.5", L"10.0.0.6"}));
    EXPECT_TRUE(list[0].dnsList->empty());
    EXPECT_STREQ(list[0].mask, L"255.255.255.0");
}

TEST_F(SnapshotTest, GatewayWithoutAddressAbandonsTheSnapshot) {
    platform::AdapterEntry good = sim::makeAdapter(L"Good", kMacA);
    platform::AdapterEntry broken = sim::makeAdapter(L"Broken", kMacB);
    broken.unicast = {{sim::ipv4("10.0.0.5"), 24}};
    broken.dnsServers = {sim::ipv4("10.0.0.2")};
    broken.gateways = {std::nullopt, sim::ipv4("10.0.0.1")};

    AdapterConfigList list;
    getCurrentConfig(good, list);
    getCurrentConfig(broken, list);

    // Its lines were written, but nothing of it joins the list.
    EXPECT_NE(logText().find("current config ip=10.0.0.5\ncurrent config mask=255.255.255.0\n"
                             "current config dns=10.0.0.2\n"),
              std::string::npos);
    EXPECT_EQ(logText().find("gateway="), std::string::npos);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].mac[3], kMacA[3]);
}

TEST_F(SnapshotTest, HardwareAddressIsTheFieldsFirstSixBytesWhateverItsLength) {
    platform::AdapterEntry loopback = sim::makeAdapter(L"Loopback", {});
    loopback.physicalAddress = {1, 2, 3, 4, 5, 6, 7, 8};
    loopback.physicalAddressLength = 0;
    AdapterConfigList list;
    getCurrentConfig(loopback, list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(list[0].mac, list[0].mac + 6),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));

    const std::vector<platform::AdapterEntry> table{sim::makeAdapter(L"Other", kMacB), loopback};
    const std::uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    const platform::AdapterEntry* found = findAdapterByMac(table, mac);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->friendlyName, L"Loopback");
    const std::uint8_t other[6] = {1, 2, 3, 4, 5, 7};
    EXPECT_EQ(findAdapterByMac(table, other), nullptr);
}

}  // namespace
