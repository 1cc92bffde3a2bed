#include "platform/sim/sim.h"
#include "savedconfig/preflight.h"
#include "support/sim_test.h"

namespace {

class PreflightTest : public SimTest {
protected:
    // Writes the file, runs the step, and expects it to be turned down
    // silently without any command.
    void expectRejected(const std::string& content) {
        writeFile(iniPath, content);
        EXPECT_EQ(enableLocalNetwork(), 0) << content;
        EXPECT_EQ(logText(), "") << content;
        EXPECT_TRUE(sim::commandsStarted().empty()) << content;
    }
};

}  // namespace

TEST_F(PreflightTest, MissingFileIsReportedAndNothingRuns) {
    EXPECT_EQ(enableLocalNetwork(), 0);
    EXPECT_EQ(logText(), "config file not exist\n");
    EXPECT_TRUE(sim::commandsStarted().empty());
    EXPECT_FALSE(fileExistsOnDisk(iniPath));
}

TEST_F(PreflightTest, FilesWithoutAUsableGatewayAreRejectedSilently) {
    expectRejected("");
    expectRejected("[eth1]\r\nGATEWAY=10.0.0.1\r\n");              // no eth0
    expectRejected("[eth0]\r\nIP=10.0.0.5\r\n");                  // no key
    expectRejected("[eth0]\r\nGATEWAY=\r\n");                     // empty value
    expectRejected("[eth0]\r\nGATEWAY=10.0.0.256\r\n");           // part above 255
    expectRejected("[eth0]\r\nGATEWAY=10.0.1\r\n");               // three parts
    expectRejected("[eth0]\r\nGATEWAY=0\r\n");                    // what the default looks like
    expectRejected("[other]\r\n[eth0]\r\nGATEWAY=gw.example\r\n");
}

TEST_F(PreflightTest, ValidGatewayAddsTheRoute) {
    writeFile(iniPath, "[eth:52:54:00:AB:CD:EF]\r\nmac=52:54:00:AB:CD:EF\r\n[eth0]\r\nGATEWAY=10.0.0.1\r\n");
    EXPECT_EQ(enableLocalNetwork(), 1);
    ASSERT_EQ(sim::commandsStarted().size(), 1u);
    EXPECT_EQ(sim::commandsStarted()[0], L"route add 169.254.0.0 mask 255.255.128.0 10.0.0.1");
    EXPECT_EQ(logText(),
              "route add 169.254.0.0 mask 255.255.128.0 10.0.0.1\n"
              "wait route add 169.254.0.0 mask 255.255.128.0 10.0.0.1  successfully\n");
}

TEST_F(PreflightTest, NamesMatchWithoutRegardToCase) {
    writeFile(iniPath, "[ETH0]\r\ngateway=192.168.100.254\r\n");
    EXPECT_EQ(enableLocalNetwork(), 1);
    ASSERT_EQ(sim::commandsStarted().size(), 1u);
    EXPECT_EQ(sim::commandsStarted()[0], L"route add 169.254.0.0 mask 255.255.128.0 192.168.100.254");
}

TEST_F(PreflightTest, RouteCommandOutcomeDoesNotChangeTheResult) {
    writeFile(iniPath, "[eth0]\r\nGATEWAY=10.0.0.1\r\n");
    sim::setCommandBehaviour(L"route", {sim::CommandBehaviour::Kind::CannotStart, 0, 2});
    EXPECT_EQ(enableLocalNetwork(), 1);
    EXPECT_EQ(logText(), "route add 169.254.0.0 mask 255.255.128.0 10.0.0.1\nCreateProcess failed (2)\n");

    sim::setCommandBehaviour(L"route", {sim::CommandBehaviour::Kind::NeverEnds, 0, 0});
    EXPECT_EQ(enableLocalNetwork(), 1);
    EXPECT_NE(logText().find("  timed out\n"), std::string::npos);
    EXPECT_EQ(sim::commandsStarted().size(), 2u);
}
