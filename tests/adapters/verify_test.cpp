#include "adapters/test_records.h"
#include "adapters/verify.h"
#include "support/sim_test.h"

namespace {

class VerifyTest : public SimTest {
protected:
    AdapterConfigList desired;
    void SetUp() override {
        SimTest::SetUp();
        desired.append(desiredRecord(kMacA, {L"10.0.0.5", L"10.0.0.6"}, L"255.255.255.0",
                                     L"10.0.0.1"));
        desired.append(desiredRecord(kMacB, {L"10.1.0.5"}, L"255.255.0.0", L"10.1.0.1"));
    }
};

TEST_F(VerifyTest, EverythingInEffectWhateverTheDnsServers) {
    platform::AdapterEntry a = adapterWith(L"eth1", kMacA, {"10.0.0.6", "10.0.0.5"}, 24, "10.0.0.1");
    a.dnsServers = {sim::ipv4("10.0.0.2")};
    sim::setAdapters({adapterWith(L"eth9", kMacC, {"192.168.1.1"}, 24, ""), a,
                      adapterWith(L"eth2", kMacB, {"10.1.0.5"}, 16, "10.1.0.1")});

    EXPECT_EQ(verifyCurrentConfig(desired), 1);
    EXPECT_EQ(sim::adapterQueries(), 1u);
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "current config AdapterName: {eth1}\n"), 1u);
    EXPECT_EQ(countOf(log, "current config AdapterName: {eth2}\n"), 1u);
    EXPECT_EQ(log.find("eth9"), std::string::npos);  // only the desired adapters are looked at
    EXPECT_TRUE(sim::commandsStarted().empty());
}

TEST_F(VerifyTest, AMissingAdapterOrAMissingAddressFails) {
    sim::setAdapters({adapterWith(L"eth1", kMacA, {"10.0.0.5", "10.0.0.6"}, 24, "10.0.0.1")});
    EXPECT_EQ(verifyCurrentConfig(desired), 0);
    EXPECT_NE(logText().find("current config AdapterName: {eth1}\n"), std::string::npos);

    sim::setAdapters({adapterWith(L"eth1", kMacA, {"10.0.0.5"}, 24, "10.0.0.1"),
                      adapterWith(L"eth2", kMacB, {"10.1.0.5"}, 16, "10.1.0.1")});
    EXPECT_EQ(verifyCurrentConfig(desired), 0);
}

TEST_F(VerifyTest, MaskLeftBehindByALongerOneDoesNotFailTheCheck) {
    AdapterConfigList wanted;
    wanted.append(desiredRecord(kMacA, {L"10.0.0.5", L"11.0.0.5"}, L"255.0.0.0", L"10.0.0.1"));
    platform::AdapterEntry a = sim::makeAdapter(L"eth1", kMacA);
    a.unicast = {{sim::ipv4("10.0.0.5"), 24}, {sim::ipv4("11.0.0.5"), 8}};
    a.gateways = {sim::ipv4("10.0.0.1")};
    sim::setAdapters({a});
    EXPECT_EQ(verifyCurrentConfig(wanted), 1);
}

TEST_F(VerifyTest, FailedQueryAndEmptyConfiguration) {
    EXPECT_EQ(verifyCurrentConfig(desired), 0);  // no adapter at all: the query fails
    EXPECT_EQ(logText(), "Call to GetAdaptersAddresses failed.\n");

    sim::setAdapters({adapterWith(L"eth1", kMacA, {}, 0, "")});
    EXPECT_EQ(verifyCurrentConfig(AdapterConfigList()), 1);
}

}  // namespace
