// Simulated child processes: each command line finds its scripted behaviour
// by prefix; waits move the simulated clock instead of sleeping.
#include "sim/commands.h"

#include <cstdio>
#include <map>
#include <sys/stat.h>
#include <utility>

#include "platform/process.h"
#include "platform/system.h"
#include "sim/sim.h"

namespace {

using Behaviour = sim::CommandBehaviour;

struct Child {
    Behaviour behaviour;
    std::uint64_t endsAt = 0;  // simulated time, for Behaviour::Kind::Ends
};

struct CommandState {
    std::vector<std::pair<std::wstring, Behaviour>> behaviours;
    std::vector<std::wstring> started;
    std::vector<std::wstring> programs;
    std::vector<std::int64_t> outputSizes;
    std::vector<std::uint64_t> startTimes;
    std::map<platform::ChildId, Child> children;
    platform::ChildId nextId = 1;
};

CommandState& state() {
    static CommandState s;
    return s;
}

Behaviour behaviourFor(const std::wstring& commandLine) {
    const auto& list = state().behaviours;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (commandLine.compare(0, it->first.size(), it->first) == 0) return it->second;
    }
    return Behaviour{};  // ends at once
}

std::int64_t outputSizeOnDisk() {
    std::FILE* out = platform::output();
    if (out == nullptr) return -1;
    struct stat st;
    if (::fstat(::fileno(out), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

}  // namespace

namespace sim {

void resetCommands() { state() = CommandState(); }

void setCommandBehaviour(const std::wstring& prefix, CommandBehaviour behaviour) {
    state().behaviours.emplace_back(prefix, behaviour);
}

const std::vector<std::wstring>& commandsStarted() { return state().started; }
const std::vector<std::wstring>& programsStarted() { return state().programs; }

const std::vector<std::int64_t>& outputSizeAtStart() { return state().outputSizes; }
const std::vector<std::uint64_t>& commandStartTimes() { return state().startTimes; }

std::size_t childrenHeld() { return state().children.size(); }

}  // namespace sim

namespace platform {

StartResult startHiddenChild(const std::wstring& program, const std::wstring& commandLine) {
    CommandState& s = state();
    s.started.push_back(commandLine);
    s.programs.push_back(program);
    s.outputSizes.push_back(outputSizeOnDisk());
    s.startTimes.push_back(sim::nowMilliseconds());

    const Behaviour behaviour = behaviourFor(commandLine);
    StartResult result;
    if (behaviour.kind == Behaviour::Kind::CannotStart) {
        result.errorCode = behaviour.errorCode;
        return result;
    }
    sim::applyCommandToAdapters(commandLine);
    sim::applyCommandToRoute(commandLine);
    const ChildId id = s.nextId++;
    s.children[id] = Child{behaviour, sim::nowMilliseconds() + behaviour.durationMilliseconds};
    result.child = id;
    return result;
}

WaitOutcome waitForChild(ChildId child, unsigned milliseconds) {
    const auto found = state().children.find(child);
    if (found == state().children.end()) return WaitOutcome::Failed;
    const Child& c = found->second;
    switch (c.behaviour.kind) {
    case Behaviour::Kind::WaitFails:
        return WaitOutcome::Failed;  // at once, like a wait on a bad handle
    case Behaviour::Kind::Ends: {
        const std::uint64_t now = sim::nowMilliseconds();
        if (c.endsAt <= now + milliseconds) {
            if (c.endsAt > now) sim::advanceMilliseconds(c.endsAt - now);
            return WaitOutcome::Ended;
        }
        break;
    }
    default:
        break;
    }
    sim::advanceMilliseconds(milliseconds);
    return WaitOutcome::TimedOut;
}

void releaseChild(ChildId child) { state().children.erase(child); }

}  // namespace platform
