#include "adapters/matching.h"
#include "adapters/test_records.h"
#include "support/sim_test.h"

namespace {

// A wait that runs its full 30 s looks at the table 29 times between the
// passes; the pass that follows is the 30th second.
constexpr unsigned kLooksPerFullWait = 29;

unsigned queryOfPass(unsigned pass) { return 1 + (pass - 1) * (kLooksPerFullWait + 1); }

bool allSleepsAreLooks() {
    for (unsigned ms : sim::sleepsTaken()) {
        if (ms > 1000) return false;
    }
    return true;
}

class MatchingTest : public SimTest {
protected:
    AdapterConfigList desired;

    void want(const std::vector<std::uint8_t>& mac, const std::wstring& ip) {
        desired.append(desiredRecord(mac, {ip}, L"255.255.255.0", L"10.0.0.1"));
    }
    std::size_t setCommandsFor(const std::wstring& name) {
        std::size_t n = 0;
        for (const std::wstring& c : sim::commandsStarted()) {
            if (c.rfind(kSetPrefix + name + L"\"", 0) == 0) ++n;
        }
        return n;
    }
};

TEST_F(MatchingTest, EveryAdapterFoundInTheFirstPass) {
    sim::setAdapters({adapterWith(L"Unrelated", kMacC, {"192.168.0.2"}, 24, ""),
                      adapterWith(L"Ethernet 2", kMacA, {"10.0.0.9"}, 24, "10.0.0.1"),
                      adapterWith(L"Ethernet 3", kMacB, {}, 0, "")});
    want(kMacA, L"10.0.0.5");
    want(kMacB, L"10.0.0.6");

    EXPECT_EQ(ConfigIpAddresses(desired), 0);

    EXPECT_EQ(sim::adapterQueries(), 1u);
    EXPECT_TRUE(sim::sleepsTaken().empty());
    EXPECT_STREQ(desired[0].adapterName, L"Ethernet 2");
    EXPECT_STREQ(desired[1].adapterName, L"Ethernet 3");
    const std::string log = logText();
    EXPECT_EQ(log.rfind("begin ConfigIpAddresses\n"
                        "Find Adapter Name: Ethernet 2\n"
                        "begin getCurrentConfig\n"
                        "current config AdapterName: {Ethernet 2}\n"
                        "current config ip=10.0.0.9\n"
                        "current config mask=255.255.255.0\n"
                        "current config gateway=10.0.0.1\n"
                        "Find Adapter Name: Ethernet 3\n",
                        0),
              0u)
        << log;
    EXPECT_EQ(log.find("retry"), std::string::npos);
    EXPECT_EQ(setCommandsFor(L"Ethernet 2"), 1u);
    EXPECT_EQ(setCommandsFor(L"Ethernet 3"), 1u);
    EXPECT_EQ(sim::commandsStarted().size(), 2u);
}

TEST_F(MatchingTest, AdapterAppearingDuringAWaitIsMatchedInTheNextPass) {
    sim::setAdapters({adapterWith(L"Ethernet 2", kMacA, {"10.0.0.5"}, 24, "10.0.0.1")});
    // Plugged in 15 s into the second wait, which ends at the next look.
    sim::addAdapterAtTime(45000, adapterWith(L"Ethernet 3", kMacB, {}, 0, ""));
    want(kMacA, L"10.0.0.5");  // already in effect
    want(kMacB, L"10.0.0.6");

    EXPECT_EQ(ConfigIpAddresses(desired), 0);

    EXPECT_EQ(sim::nowMilliseconds(), 45000u);
    EXPECT_TRUE(allSleepsAreLooks());
    EXPECT_EQ(sim::adapterQueries(), queryOfPass(2) + 15 + 1);
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "cannot find match adpater mac=52-54-00-01-02-03\n"), 2u);
    EXPECT_NE(log.find("retry find adapters retrycount=1\n"), std::string::npos);
    EXPECT_NE(log.find("retry find adapters retrycount=2\n"), std::string::npos);
    EXPECT_EQ(log.find("retrycount=3"), std::string::npos);
    EXPECT_EQ(log.find("cannot find all matched"), std::string::npos);
    // The adapter found every pass was looked at every pass.
    EXPECT_EQ(countOf(log, "current config AdapterName: {Ethernet 2}\n"), 3u);
    EXPECT_NE(log.find("config ip submask gateway is not changed...\n"), std::string::npos);
    EXPECT_EQ(setCommandsFor(L"Ethernet 2"), 0u);
    EXPECT_EQ(setCommandsFor(L"Ethernet 3"), 1u);
}

TEST_F(MatchingTest, WaitEndsOnlyWhenEveryMissingAdapterIsThere) {
    struct Case {
        const char* name;
        std::uint64_t secondAt;  // when the second missing adapter arrives; 0: never
        unsigned failingLook;    // a look (1-based within the first wait) that fails; 0: none
        std::uint64_t waited;  // in all, over every wait
    };
    const Case cases[] = {
        // Both arrive (4 s and 7 s): the wait ends at the look that sees both.
        {"both arrive", 7000, 0, 7000},
        // A failed look is no news: neither logged nor the end of the wait.
        {"a look fails before they arrive", 7000, 2, 7000},
        // Only one of the two arrives: every wait lasts its full 30 s.
        {"one of two arrives", 0, 0, 210000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::resetAdapters();
        sim::resetCommands();
        desired = AdapterConfigList();
        const std::uint64_t start = sim::nowMilliseconds();
        const std::size_t sleepsBefore = sim::sleepsTaken().size();
        sim::setAdapters({adapterWith(L"Ethernet 2", kMacA, {}, 0, "")});
        sim::addAdapterAtTime(start + 4000, adapterWith(L"Ethernet 3", kMacB, {}, 0, ""));
        if (c.secondAt != 0) {
            sim::addAdapterAtTime(start + c.secondAt, adapterWith(L"Ethernet 4", kMacC, {}, 0, ""));
        }
        if (c.failingLook != 0) sim::failQuery(1 + c.failingLook);
        want(kMacA, L"10.0.0.5");
        want(kMacB, L"10.0.0.6");
        want(kMacC, L"10.0.0.7");
        const std::size_t logBefore = logText().size();

        EXPECT_EQ(ConfigIpAddresses(desired), 0);

        const std::string log = logText().substr(logBefore);
        const std::size_t retry = log.find("retry find adapters retrycount=1\n");
        ASSERT_NE(retry, std::string::npos);
        EXPECT_EQ(sim::sleepsTaken().size() - sleepsBefore, c.waited / 1000);
        EXPECT_TRUE(allSleepsAreLooks());
        EXPECT_EQ(log.find("Call to GetAdaptersAddresses failed."), std::string::npos);
        // The looks log nothing: only the passes show in the log.
        EXPECT_EQ(countOf(log, "Find Adapter Name: Ethernet 2\n"),
                  c.secondAt != 0 ? 2u : 8u);
        EXPECT_EQ(setCommandsFor(L"Ethernet 3"), 1u);
        EXPECT_EQ(setCommandsFor(L"Ethernet 4"), c.secondAt != 0 ? 1u : 0u);
    }
}

TEST_F(MatchingTest, AdapterNeverPresentGivesEightPassesThenTheOthersAreConfigured) {
    sim::setAdapters({adapterWith(L"Ethernet 2", kMacA, {}, 0, "")});
    want(kMacA, L"10.0.0.5");
    want(kMacC, L"10.0.0.6");
    sim::removeAdapterFromQuery(2, L"Ethernet 2");  // gone after the first pass
    sim::addAdapterFromQuery(2, adapterWith(L"Unrelated", kMacB, {}, 0, ""));

    EXPECT_EQ(ConfigIpAddresses(desired), 0);

    // Eight passes; each of the seven waits lasts its full 30 s.
    EXPECT_EQ(sim::adapterQueries(), queryOfPass(8));
    EXPECT_EQ(sim::nowMilliseconds(), 210000u);
    EXPECT_EQ(sim::sleepsTaken(), std::vector<unsigned>(210, 1000));
    const std::string log = logText();
    EXPECT_EQ(countOf(log, "cannot find match adpater mac=0a-00-27-00-00-09\n"), 8u);
    EXPECT_EQ(countOf(log, "cannot find match adpater mac=52-54-00-ab-cd-ef\n"), 7u);
    std::size_t at = 0;
    for (int i = 1; i <= 7; ++i) {
        const std::string line = "retry find adapters retrycount=" + std::to_string(i) + "\n";
        const std::size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << line;
        at = found;
    }
    EXPECT_EQ(log.find("retrycount=8"), std::string::npos);
    const std::size_t closing =
        log.find("cannot find all matched network adapters , configure finded\n");
    ASSERT_NE(closing, std::string::npos);
    EXPECT_GT(closing, at);
    EXPECT_EQ(countOf(log, "cannot find all matched"), 1u);

    // Found in the first pass only, and still configured under that name.
    EXPECT_STREQ(desired[0].adapterName, L"Ethernet 2");
    EXPECT_EQ(desired[1].adapterName[0], L'\0');
    EXPECT_EQ(sim::commandsStarted(),
              (std::vector<std::wstring>{kSetPrefix +
                                         L"Ethernet 2\" static 10.0.0.5 255.255.255.0 10.0.0.1"}));
    EXPECT_GT(log.find("start set config ip submask gateway...\n"), closing);
}

TEST_F(MatchingTest, FailedQueryEndsTheStepWithoutApplyingAnything) {
    sim::setAdapters({adapterWith(L"Ethernet 2", kMacA, {}, 0, "")});
    sim::failQuery(queryOfPass(2));
    want(kMacA, L"10.0.0.5");
    want(kMacB, L"10.0.0.6");

    EXPECT_EQ(ConfigIpAddresses(desired), 0);

    EXPECT_EQ(sim::adapterQueries(), queryOfPass(2));
    EXPECT_EQ(sim::nowMilliseconds(), 30000u);
    const std::string log = logText();
    const std::string tail =
        "retry find adapters retrycount=1\nCall to GetAdaptersAddresses failed.\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_STREQ(desired[0].adapterName, L"Ethernet 2");  // the name found earlier stays
    EXPECT_TRUE(sim::commandsStarted().empty());
    EXPECT_EQ(log.find("start set config"), std::string::npos);
}

TEST_F(MatchingTest, MachineWithoutAdaptersFailsAtOnce) {
    want(kMacA, L"10.0.0.5");
    EXPECT_EQ(ConfigIpAddresses(desired), 0);
    EXPECT_EQ(sim::adapterQueries(), 1u);
    EXPECT_TRUE(sim::sleepsTaken().empty());
    EXPECT_EQ(logText(), "begin ConfigIpAddresses\nCall to GetAdaptersAddresses failed.\n");
    EXPECT_TRUE(sim::commandsStarted().empty());

    // An empty desired configuration queries once and applies nothing.
    AdapterConfigList none;
    sim::setAdapters({adapterWith(L"Ethernet 2", kMacA, {}, 0, "")});
    EXPECT_EQ(ConfigIpAddresses(none), 0);
    EXPECT_EQ(sim::adapterQueries(), 2u);
    EXPECT_EQ(countOf(logText(), "begin getCurrentConfig"), 0u);
}

TEST_F(MatchingTest, DuplicateHardwareAddressesOnEitherSide) {
    // Two adapters share an address: the first listed is taken, every pass.
    sim::setAdapters({adapterWith(L"First", kMacA, {}, 0, ""),
                      adapterWith(L"Second", kMacA, {}, 0, "")});
    // Two desired records share an address: both count, both are configured.
    want(kMacA, L"10.0.0.5");
    want(kMacA, L"10.0.0.6");

    EXPECT_EQ(ConfigIpAddresses(desired), 0);
    EXPECT_EQ(sim::adapterQueries(), 1u);
    EXPECT_STREQ(desired[0].adapterName, L"First");
    EXPECT_STREQ(desired[1].adapterName, L"First");
    EXPECT_EQ(countOf(logText(), "Find Adapter Name: First\n"), 2u);
    EXPECT_EQ(logText().find("Second"), std::string::npos);
    EXPECT_EQ(setCommandsFor(L"First"), 2u);
    EXPECT_EQ(setCommandsFor(L"Second"), 0u);
}

TEST_F(MatchingTest, UnusableNamesAreRefusedWithoutWaiting) {
    const std::wstring longName(64, L'L');
    const std::wstring quoted = L"Ethernet\" static 6.6.6.6 255.0.0.0 6.6.6.1 \"";
    sim::setAdapters({adapterWith(longName, kMacA, {}, 0, ""),
                      adapterWith(quoted, kMacB, {}, 0, ""),
                      adapterWith(L"Fine", kMacC, {}, 0, "")});
    want(kMacA, L"10.0.0.5");
    want(kMacB, L"10.0.0.6");
    want(kMacC, L"10.0.0.7");

    EXPECT_EQ(ConfigIpAddresses(desired), 0);

    // The adapters are there, so no pass is repeated for them.
    EXPECT_EQ(sim::adapterQueries(), 1u);
    EXPECT_TRUE(sim::sleepsTaken().empty());
    EXPECT_EQ(desired[0].adapterName[0], L'\0');
    EXPECT_EQ(desired[1].adapterName[0], L'\0');
    const std::string log = logText();
    EXPECT_NE(log.find("adapter mac=52-54-00-ab-cd-ef not configured: the name has 64 or more "
                       "characters\n"),
              std::string::npos);
    EXPECT_NE(log.find("adapter mac=52-54-00-01-02-03 not configured: the name holds a double "
                       "quote\n"),
              std::string::npos);
    EXPECT_EQ(sim::commandsStarted(),
              (std::vector<std::wstring>{kSetPrefix +
                                         L"Fine\" static 10.0.0.7 255.255.255.0 10.0.0.1"}));
}

}  // namespace
