#include "core/command_runner.h"

#include "core/run_log.h"
#include "platform/process.h"

namespace {
constexpr unsigned kWaitMilliseconds = 2000;
constexpr unsigned kMaxWaits = 15;
}  // namespace

void runCommand(wchar_t* commandLine) {
    // In the log before the child starts, so a child that hangs the machine
    // still leaves its command behind.
    logWide(L"%ls\n", commandLine);
    logFlush();

    const platform::StartResult started = platform::startHiddenChild(commandLine);
    if (!started.child) {
        logNarrow("CreateProcess failed (%d)\n", static_cast<int>(started.errorCode));
        return;
    }

    // A failed wait counts like a time-out; a child we give up on keeps
    // running on its own.
    unsigned count = 0;
    for (;;) {
        if (platform::waitForChild(*started.child, kWaitMilliseconds) == platform::WaitOutcome::Ended) {
            logWide(L"wait %ls  successfully\n", commandLine);
            break;
        }
        ++count;
        logWide(L"wait %ls  count=%d\n", commandLine, static_cast<int>(count));
        if (count == kMaxWaits) {
            logWide(L"wait %ls  timed out\n", commandLine);
            break;
        }
    }
    platform::releaseChild(*started.child);
}
