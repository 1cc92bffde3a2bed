#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "platform/table_sizing.h"

namespace {

using platform::TableAnswer;
using platform::TableCall;

// Plays the system's answers in turn and notes the block size of each call.
struct Scripted {
    std::vector<TableCall> answers;
    std::vector<std::size_t> capacities;

    bool run() {
        return platform::sizeAndFillTable([this](std::size_t capacity) {
            capacities.push_back(capacity);
            const std::size_t i = capacities.size() - 1;
            return i < answers.size() ? answers[i] : answers.back();
        });
    }
};

const TableCall kFilled{TableAnswer::Filled, 0};
TableCall tooSmall(std::size_t needed) { return TableCall{TableAnswer::TooSmall, needed}; }

}  // namespace

TEST(TableSizing, ATableThatGrowsBetweenTheCallsIsSizedAgain) {
    struct Case {
        const char* name;
        std::vector<TableCall> answers;
        bool filled;
        std::vector<std::size_t> capacities;
    };
    const Case cases[] = {
        {"size, then filled", {tooSmall(100), kFilled}, true, {0, 100}},
        // An adapter attached between the calls, twice over.
        {"grows twice", {tooSmall(100), tooSmall(150), tooSmall(200), kFilled}, true,
         {0, 100, 150, 200}},
        // Growing without end is given up after a few sizings.
        {"grows every time", {tooSmall(100)}, false, {0, 100, 100, 100, 100, 100}},
        // No size to learn (no adapter at all): the second call still comes,
        // with an empty block, and its answer decides.
        {"nothing to size", {TableCall{TableAnswer::Failed, 0}}, false, {0, 0}},
        {"filled with an empty block", {kFilled}, true, {0, 0}},
        {"fails after sizing", {tooSmall(100), TableCall{TableAnswer::Failed, 0}}, false, {0, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scripted system{c.answers, {}};
        EXPECT_EQ(system.run(), c.filled);
        EXPECT_EQ(system.capacities, c.capacities);
    }
}
