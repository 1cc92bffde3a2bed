#include <string>

#include "savedconfig/preflight.h"
#include "sim/commands.h"
#include "sim/sim.h"
#include "support/sim_test.h"

namespace {

const std::wstring kRoute = L"route add 169.254.0.0 mask 255.255.128.0 ";

// ASCII text as a UTF-16 file with its byte order mark.
std::string utf16(const std::string& ascii) {
    std::string out = "\xff\xfe";
    for (char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

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

TEST_F(PreflightTest, MissingFileIsReportedAndNothingRunsUnlessAWholeWorkingCopyIsThere) {
    EXPECT_EQ(enableLocalNetwork(), 0);
    writeFile(iniPath + ".new", "[eth1]\r\nGATEWAY=10.0.0.1\r\n");
    EXPECT_EQ(enableLocalNetwork(), 0);
    EXPECT_EQ(newLog(), "config file not exist\nconfig file working copy " + iniPath +
                            ".new not put back: it has no [eth0] GATEWAY\nconfig file not exist\n");
    EXPECT_TRUE(sim::commandsStarted().empty());
    EXPECT_FALSE(fileExistsOnDisk(iniPath));
    // What a run stopped inside the replace leaves.
    writeFile(iniPath + ".new", "[eth0]\r\nGATEWAY=10.0.0.1\r\n");
    EXPECT_EQ(enableLocalNetwork(), 1);
    EXPECT_EQ(newLog().rfind("config file missing, put back from its working copy " + iniPath + ".new\n", 0), 0u);
    EXPECT_EQ(readFile(iniPath), "[eth0]\r\nGATEWAY=10.0.0.1\r\n");
    EXPECT_FALSE(fileExistsOnDisk(iniPath + ".new"));
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
    // Named as always, started from the system folder: never one planted
    // beside the program or in the current directory.
    EXPECT_EQ(sim::programsStarted()[0], L"C:\\Windows\\system32\\route.exe");
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

TEST_F(PreflightTest, RouteCommandOnlyFromACheckedGateway) {
    // An odd or hostile saved file: the route command is built only from a
    // gateway that passed the check.
    struct Case {
        const char* name;
        std::string file;
        std::wstring gateway;  // empty: refused, no command
    };
    const std::string zero(1, '\0');
    const Case cases[] = {
        {"command separator", "[eth0]\r\nGATEWAY=10.0.0.1 & calc\r\n", L""},
        {"semicolon", "[eth0]\r\nGATEWAY=10.0.0.1;reboot\r\n", L""},
        {"format directives", "[eth0]\r\nGATEWAY=%s%n%ls%n\r\n", L""},
        {"over the buffer", "[eth0]\r\nGATEWAY=10.0.0.1" + std::string(3000, '1') + "\r\n", L""},
        {"high bytes", "[eth0]\r\nGATEWAY=10.0.0.\xb9\r\n", L""},
        {"leading zero", "[eth0]\r\nGATEWAY=10.0.0.01\r\n", L""},
        // What follows a zero byte never reaches the command.
        {"zero byte", "[eth0]\r\nGATEWAY=10.0.0.1" + zero + " & calc\r\n", L"10.0.0.1"},
        // Blanks and quotes around a value go, as the system reads it.
        {"quoted", "[eth0]\r\nGATEWAY = \"10.0.0.1\"  \r\n", L"10.0.0.1"},
        {"line feeds only", "\n\n[eth0]\nGATEWAY=10.0.0.2\n\n", L"10.0.0.2"},
        {"utf-16", utf16("[eth0]\r\nGATEWAY=1.2.3.4\r\n"), L"1.2.3.4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::resetCommands();
        writeFile(iniPath, c.file);
        const std::size_t logBefore = logText().size();

        EXPECT_EQ(enableLocalNetwork(), c.gateway.empty() ? 0 : 1);

        if (c.gateway.empty()) {
            EXPECT_TRUE(sim::commandsStarted().empty());
            EXPECT_EQ(logText().size(), logBefore);  // turned down without a line
        } else {
            ASSERT_EQ(sim::commandsStarted().size(), 1u);
            EXPECT_EQ(sim::commandsStarted()[0], kRoute + c.gateway);
        }
        EXPECT_EQ(readFile(iniPath), c.file);  // only read
    }
}
