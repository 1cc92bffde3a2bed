#include <cwchar>
#include <optional>
#include <string>

#include "core/command_runner.h"
#include "sim/commands.h"
#include "sim/sim.h"
#include "support/sim_test.h"

namespace {

class CommandRunnerTest : public SimTest {
protected:
    // Runs the command from a caller's buffer of the usual size; returns the
    // buffer as it was afterwards.
    std::wstring run(const wchar_t* command) {
        wchar_t buffer[260] = {};
        std::swprintf(buffer, 260, L"%ls", command);
        runCommand(L"C:\\Windows\\system32\\netsh.exe", buffer);
        return buffer;
    }
};

std::string countLines(const std::string& command, int upTo) {
    std::string lines;
    for (int i = 1; i <= upTo; ++i) lines += "wait " + command + "  count=" + std::to_string(i) + "\n";
    return lines;
}

const char* const kSet = "c:\\windows\\system32\\netsh.exe interface ip set address name=\"Ethernet 2\"";
const wchar_t* const kSetWide =
    L"c:\\windows\\system32\\netsh.exe interface ip set address name=\"Ethernet 2\"";

}  // namespace

TEST_F(CommandRunnerTest, QuickCommandLogsOnlyItsLineAndSuccess) {
    EXPECT_EQ(run(kSetWide), kSetWide);  // the caller's buffer is left as it was
    EXPECT_EQ(logText(), std::string(kSet) + "\nwait " + kSet + "  successfully\n");
    ASSERT_EQ(sim::commandsStarted().size(), 1u);
    EXPECT_EQ(sim::commandsStarted()[0], kSetWide);
    EXPECT_EQ(sim::nowMilliseconds(), 0u);
    EXPECT_EQ(sim::childrenHeld(), 0u);
}

TEST_F(CommandRunnerTest, CommandLineIsInTheLogFileBeforeEachChildStarts) {
    run(L"route add 169.254.0.0 mask 255.255.128.0 10.0.0.1");
    run(L"second");
    const std::string first = "route add 169.254.0.0 mask 255.255.128.0 10.0.0.1\n";
    const std::string firstBlock =
        first + "wait route add 169.254.0.0 mask 255.255.128.0 10.0.0.1  successfully\n";
    ASSERT_EQ(sim::outputSizeAtStart().size(), 2u);
    EXPECT_EQ(sim::outputSizeAtStart()[0], static_cast<std::int64_t>(first.size()));
    EXPECT_EQ(sim::outputSizeAtStart()[1], static_cast<std::int64_t>(firstBlock.size() + 7));
    EXPECT_EQ(logText(), firstBlock + "second\nwait second  successfully\n");
}

TEST_F(CommandRunnerTest, SlowCommandCountsTwoWaitsThenSucceeds) {
    sim::setCommandBehaviour(L"c:\\windows\\system32\\netsh.exe",
                             {sim::CommandBehaviour::Kind::Ends, 5000, 0});
    run(kSetWide);
    EXPECT_EQ(logText(), std::string(kSet) + "\n" + countLines(kSet, 2) + "wait " + kSet +
                             "  successfully\n");
    EXPECT_EQ(sim::nowMilliseconds(), 5000u);  // returned as soon as it ended
    EXPECT_EQ(sim::childrenHeld(), 0u);
}

TEST_F(CommandRunnerTest, CommandEndingOnTheLastWaitIsNotTimedOut) {
    sim::setCommandBehaviour(L"x", {sim::CommandBehaviour::Kind::Ends, 30000, 0});
    sim::setCommandBehaviour(L"y", {sim::CommandBehaviour::Kind::Ends, 30001, 0});
    run(L"x");
    EXPECT_EQ(logText(), "x\n" + countLines("x", 14) + "wait x  successfully\n");
    run(L"y");
    EXPECT_NE(logText().find(countLines("y", 15) + "wait y  timed out\n"), std::string::npos);
}

TEST_F(CommandRunnerTest, NeverEndingCommandIsGivenUpAfterThirtySecondsAndTheNextRuns) {
    sim::setCommandBehaviour(L"route", {sim::CommandBehaviour::Kind::NeverEnds, 0, 0});
    run(L"route add 169.254.0.0 mask 255.255.128.0 10.0.0.1");
    EXPECT_EQ(sim::nowMilliseconds(), 30000u);
    EXPECT_EQ(sim::childrenHeld(), 0u);  // handles given back, child left running
    run(L"next");
    const std::string route = "route add 169.254.0.0 mask 255.255.128.0 10.0.0.1";
    EXPECT_EQ(logText(), route + "\n" + countLines(route, 15) + "wait " + route +
                             "  timed out\nnext\nwait next  successfully\n");
    EXPECT_EQ(sim::commandsStarted().size(), 2u);
}

TEST_F(CommandRunnerTest, FailingWaitsCountWithoutDelay) {
    sim::setCommandBehaviour(L"w", {sim::CommandBehaviour::Kind::WaitFails, 0, 0});
    run(L"w 1");
    EXPECT_EQ(logText(), "w 1\n" + countLines("w 1", 15) + "wait w 1  timed out\n");
    EXPECT_EQ(sim::nowMilliseconds(), 0u);
}

TEST_F(CommandRunnerTest, UnstartableCommandLogsTheNarrowErrorLineOnly) {
    sim::setCommandBehaviour(L"route", {sim::CommandBehaviour::Kind::CannotStart, 0, 2});
    sim::setCommandBehaviour(L"route del", {sim::CommandBehaviour::Kind::CannotStart, 0, 740});
    run(L"route add x");
    run(L"route delete y");
    EXPECT_EQ(logText(), "route add x\nCreateProcess failed (2)\nroute delete y\nCreateProcess failed (740)\n");
    EXPECT_EQ(sim::commandsStarted().size(), 2u);
    EXPECT_EQ(sim::nowMilliseconds(), 0u);
    EXPECT_EQ(sim::childrenHeld(), 0u);
}

TEST_F(CommandRunnerTest, SystemProgramsAreStartedByTheirFullPath) {
    struct Case {
        std::optional<std::wstring> folder;
        const wchar_t* path;  // what starts
        const wchar_t* name;  // how a command line names it
    };
    const Case cases[] = {
        // A standard install: command lines read as they always have.
        {std::wstring(L"C:\\Windows\\system32"), L"C:\\Windows\\system32\\netsh.exe",
         L"c:\\windows\\system32\\netsh.exe"},
        {std::wstring(L"E:\\WINNT\\System32\\"), L"E:\\WINNT\\System32\\netsh.exe",
         L"E:\\WINNT\\System32\\netsh.exe"},
        {std::wstring(L"D:\\Win Dows\\system32"), L"D:\\Win Dows\\system32\\netsh.exe",
         L"\"D:\\Win Dows\\system32\\netsh.exe\""},
        {std::nullopt, L"c:\\windows\\system32\\netsh.exe", L"c:\\windows\\system32\\netsh.exe"},
    };
    for (const Case& c : cases) {
        sim::setSystemDirectory(c.folder);
        const std::wstring path = systemProgramPath(L"netsh.exe");
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(commandLineName(path), c.name);
    }
    // That the runner starts the program it is given shows in the route and
    // netsh tests of the pre-flight and the apply step.
}
