#include "adapters/apply.h"
#include "adapters/snapshot.h"
#include "adapters/test_records.h"
#include "core/settings.h"
#include "sim/commands.h"
#include "support/sim_test.h"

namespace {

class ApplyTest : public SimTest {
protected:
    // The snapshot list as matching would build it, from real table entries.
    AdapterConfigList snapshotsOf(const std::vector<platform::AdapterEntry>& adapters) {
        AdapterConfigList list;
        for (const platform::AdapterEntry& a : adapters) getCurrentConfig(a, list);
        return list;
    }
};

TEST_F(ApplyTest, AddressListsCompareAsSets) {
    const AdapterConfigList current = snapshotsOf(
        {adapterWith(L"eth1", kMacA, {"10.0.0.5", "10.0.0.6"}, 24, "10.0.0.1")});
    auto changed = [&](const std::vector<std::wstring>& ips) {
        return ipConfigChanged(desiredRecord(kMacA, ips, L"255.255.255.0", L"10.0.0.1"), current);
    };
    EXPECT_EQ(changed({L"10.0.0.5", L"10.0.0.6"}), 0);
    EXPECT_EQ(changed({L"10.0.0.6", L"10.0.0.5"}), 0);              // any order
    EXPECT_EQ(changed({L"10.0.0.5", L"10.0.0.6", L"10.0.0.5"}), 0);  // repeats on our side
    EXPECT_EQ(changed({L"10.0.0.5"}), 1);                            // one present too many
    EXPECT_EQ(changed({L"10.0.0.5", L"10.0.0.6", L"10.0.0.7"}), 1);  // one missing
    // Same count, but 10.0.0.6 is not desired: no longer passes as in effect.
    EXPECT_EQ(changed({L"10.0.0.5", L"10.0.0.5"}), 1);
    EXPECT_EQ(changed({L"10.0.0.50", L"10.0.0.6"}), 1);  // text equality, no prefixes

    // Repeats on the adapter's side count the same way.
    const AdapterConfigList doubled = snapshotsOf(
        {adapterWith(L"eth1", kMacA, {"10.0.0.5", "10.0.0.5"}, 24, "10.0.0.1")});
    EXPECT_EQ(ipConfigChanged(desiredRecord(kMacA, {L"10.0.0.5"}, L"255.255.255.0", L"10.0.0.1"),
                              doubled),
              0);
    EXPECT_EQ(ipConfigChanged(desiredRecord(kMacA, {L"10.0.0.5", L"10.0.0.6"}, L"255.255.255.0",
                                            L"10.0.0.1"),
                              doubled),
              1);
}

TEST_F(ApplyTest, MaskGatewayAndIdentityDecide) {
    platform::AdapterEntry withDns = adapterWith(L"eth1", kMacA, {"10.0.0.5"}, 24, "10.0.0.1");
    withDns.dnsServers = {sim::ipv4("9.9.9.9")};
    const AdapterConfigList current = snapshotsOf({withDns});

    EXPECT_EQ(ipConfigChanged(desiredRecord(kMacA, {L"10.0.0.5"}, L"255.255.255.0", L"10.0.0.1"),
                              current),
              0);  // DNS servers take no part
    EXPECT_EQ(ipConfigChanged(desiredRecord(kMacA, {L"10.0.0.5"}, L"255.255.0.0", L"10.0.0.1"),
                              current),
              1);
    EXPECT_EQ(ipConfigChanged(desiredRecord(kMacA, {L"10.0.0.5"}, L"255.255.255.0", L"10.0.0.254"),
                              current),
              1);
    EXPECT_EQ(ipConfigChanged(desiredRecord(kMacB, {L"10.0.0.5"}, L"255.255.255.0", L"10.0.0.1"),
                              current),
              1);  // no snapshot of that adapter
    AdapterConfig noList = desiredRecord(kMacA, {}, L"255.255.255.0", L"10.0.0.1");
    noList.ipList.reset();
    EXPECT_EQ(ipConfigChanged(noList, current), 1);

    // Of two snapshots with one hardware address (matching's passes, minutes
    // apart), the newer decides, either way round.
    const platform::AdapterEntry stale = adapterWith(L"eth1", kMacA, {"10.0.0.9"}, 24, "10.0.0.1");
    const AdapterConfig wanted = desiredRecord(kMacA, {L"10.0.0.5"}, L"255.255.255.0", L"10.0.0.1");
    EXPECT_EQ(ipConfigChanged(wanted, snapshotsOf({stale, withDns})), 0);
    EXPECT_EQ(ipConfigChanged(wanted, snapshotsOf({withDns, stale})), 1);
}

TEST_F(ApplyTest, MaskAndGatewayCompareUpToTheirTerminators) {
    // Prefix 24 then 8: the snapshot writes 255.255.255.0, then 255.0.0.0
    // over it, leaving the tail of the longer text behind the terminator.
    const AdapterConfigList current = snapshotsOf({[] {
        platform::AdapterEntry a = sim::makeAdapter(L"eth1", kMacA);
        a.unicast = {{sim::ipv4("10.0.0.5"), 24}, {sim::ipv4("11.0.0.5"), 8}};
        a.gateways = {sim::ipv4("11.0.0.1")};
        return a;
    }()});
    ASSERT_STREQ(current[0].mask, L"255.0.0.0");
    ASSERT_NE(current[0].mask[10], L'\0');  // the leftover is really there

    EXPECT_EQ(ipConfigChanged(desiredRecord(kMacA, {L"11.0.0.5", L"10.0.0.5"}, L"255.0.0.0",
                                            L"11.0.0.1"),
                              current),
              0);

    // The same holds for a desired field that was written twice.
    AdapterConfig desired =
        desiredRecord(kMacA, {L"10.0.0.5", L"11.0.0.5"}, L"255.0.0.0", L"110.100.100.100");
    copyText(desired.gateway, L"11.0.0.1");
    EXPECT_EQ(ipConfigChanged(desired, current), 0);
    copyText(desired.gateway, L"11.0.0.10");
    EXPECT_EQ(ipConfigChanged(desired, current), 1);
}

TEST_F(ApplyTest, CommandsRunOnlyWhenSomethingDiffers) {
    const AdapterConfigList current = snapshotsOf(
        {adapterWith(L"Local Area Connection 2", kMacA, {"10.0.0.5", "10.0.0.6"}, 24, "10.0.0.1")});

    AdapterConfig same =
        desiredRecord(kMacA, {L"10.0.0.6", L"10.0.0.5"}, L"255.255.255.0", L"10.0.0.1");
    copyText(same.adapterName, L"Local Area Connection 2");
    setAdapterConfig(same, current);
    EXPECT_NE(logText().find("config ip submask gateway is not changed...\n"), std::string::npos);
    EXPECT_EQ(logText().find("start set config"), std::string::npos);
    EXPECT_TRUE(sim::commandsStarted().empty());

    // Only the gateway differs: the set command and every further address.
    AdapterConfig moved = desiredRecord(kMacA, {L"10.0.0.5", L"10.0.0.6", L"10.0.0.7"},
                                        L"255.255.255.0", L"10.0.0.254");
    copyText(moved.adapterName, L"Local Area Connection 2");
    setAdapterConfig(moved, current);
    EXPECT_NE(logText().find("start set config ip submask gateway...\n"), std::string::npos);
    EXPECT_EQ(sim::commandsStarted(),
              (std::vector<std::wstring>{
                  kSetPrefix + L"Local Area Connection 2\" static 10.0.0.5 255.255.255.0 10.0.0.254",
                  kAddPrefix + L"Local Area Connection 2\" 10.0.0.6 255.255.255.0",
                  kAddPrefix + L"Local Area Connection 2\" 10.0.0.7 255.255.255.0"}));
    EXPECT_EQ(sim::programsStarted(),
              std::vector<std::wstring>(3, L"C:\\Windows\\system32\\netsh.exe"));

    // Windows elsewhere: netsh from there, named by its path.
    sim::resetCommands();
    sim::setSystemDirectory(std::wstring(L"D:\\Win Dows\\system32"));
    setAdapterConfig(moved, current);
    ASSERT_EQ(sim::commandsStarted().size(), 3u);
    EXPECT_EQ(sim::commandsStarted()[1],
              L"\"D:\\Win Dows\\system32\\netsh.exe\" interface ip add address name=\"Local Area "
              L"Connection 2\" 10.0.0.6 255.255.255.0");
    EXPECT_EQ(sim::programsStarted()[1], L"D:\\Win Dows\\system32\\netsh.exe");
}

TEST_F(ApplyTest, LegacySystemsGetTheGatewayMetricOnTheSetCommandOnly) {
    legacyOs = 1;
    AdapterConfig desired =
        desiredRecord(kMacA, {L"10.0.0.5", L"10.0.0.6"}, L"255.255.255.0", L"10.0.0.1");
    copyText(desired.adapterName, L"eth1");
    setAdapterConfig(desired, AdapterConfigList());  // no snapshot: everything runs
    EXPECT_EQ(sim::commandsStarted(),
              (std::vector<std::wstring>{
                  kSetPrefix + L"eth1\" static 10.0.0.5 255.255.255.0 10.0.0.1 gwmetric=1",
                  kAddPrefix + L"eth1\" 10.0.0.6 255.255.255.0"}));
}

TEST_F(ApplyTest, SingleAddressRunsTheSetCommandAlone) {
    AdapterConfig desired = desiredRecord(kMacA, {L"192.168.100.200"}, L"255.255.255.0",
                                          L"192.168.100.1");
    // The longest name that fits the record.
    const std::wstring name(63, L'n');
    copyText(desired.adapterName, name);
    setAdapterConfig(desired, AdapterConfigList());
    EXPECT_EQ(sim::commandsStarted(),
              (std::vector<std::wstring>{kSetPrefix + name +
                                         L"\" static 192.168.100.200 255.255.255.0 192.168.100.1"}));
}

TEST_F(ApplyTest, NamesThatCouldMisleadNetshAreRefused) {
    EXPECT_EQ(unusableAdapterNameReason(L"Ethernet 2"), nullptr);
    EXPECT_EQ(unusableAdapterNameReason(std::wstring(63, L'x')), nullptr);
    EXPECT_NE(unusableAdapterNameReason(std::wstring(64, L'x')), nullptr);
    EXPECT_NE(unusableAdapterNameReason(L"a\" static 1.2.3.4"), nullptr);
    EXPECT_NE(unusableAdapterNameReason(L"trailing\\"), nullptr);
    EXPECT_NE(unusableAdapterNameReason(L""), nullptr);

    AdapterConfig desired = desiredRecord(kMacA, {L"10.0.0.5"}, L"255.255.255.0", L"10.0.0.1");
    copyText(desired.adapterName, L"x\" static 6.6.6.6 255.0.0.0 6.6.6.1");
    setAdapterConfig(desired, AdapterConfigList());
    EXPECT_TRUE(sim::commandsStarted().empty());
    EXPECT_NE(logText().find("not configured: the name holds a double quote\n"), std::string::npos);
}

}  // namespace
