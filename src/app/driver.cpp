#include "app/driver.h"

#include <clocale>
#include <memory>
#include <string>

#include "adapters/matching.h"
#include "adapters/verify.h"
#include "core/run_log.h"
#include "core/settings.h"
#include "metadata/builder.h"
#include "platform/outcome.h"
#include "platform/system.h"
#include "savedconfig/preflight.h"
#include "savedconfig/writer.h"

namespace {

// A stop from the service manager ends a run at its next step: nothing more
// is applied or saved, and the block says why it ends there.
bool stopping() {
    if (!platform::stopRequested()) return false;
    logWide(L"stop requested, the run ends here\n");
    return true;
}

// The steps between the stamps; the desired configuration is released by
// the caller's scope before the closing lines.
RunOutcome runSteps(std::unique_ptr<AdapterConfigList>& desired) {
    if (enableLocalNetwork() == 0) {
        logWide(L"config file error , enable local network fail\n");
        return RunOutcome::Failed;
    }

    // While the service does not answer yet, the route is added again now
    // and then: the first try may have come before the main adapter was up.
    std::size_t leftOut = 0;
    desired = getDesiredConfig([] { enableLocalNetwork(); }, &leftOut);
    if (stopping()) return RunOutcome::Stopped;
    if (!desired || desired->empty()) {
        logWide(L"config file error , no configure information\n");
        // An empty list is the service's word that there is nothing to
        // configure here, which is how most machines are: no fault.
        return desired ? RunOutcome::NothingToConfigure : RunOutcome::Failed;
    }

    RunOutcome outcome = ConfigIpAddresses(*desired) == 0 ? RunOutcome::Succeeded : RunOutcome::Failed;
    if (stopping()) return RunOutcome::Stopped;

    // Nothing is recorded unless every desired setting is really in effect.
    // A stop cuts the check's waits short, which is no verdict on them.
    const int inEffect = verifyCurrentConfig(*desired);
    if (stopping()) return RunOutcome::Stopped;
    if (inEffect == 0) return RunOutcome::Failed;

    if (writeConfigIni(desired.get()) == 0) {
        logWide(L"config file error , set ip config ini fail\n");
        outcome = RunOutcome::Failed;
    }
    // The others are configured and saved, but a listed adapter that was
    // left out means the machine is not as the service describes it.
    if (leftOut > 0) outcome = RunOutcome::Failed;
    return outcome;
}

// Longer than any run that ends by itself can take: up to 210 s waiting for
// adapters, at most 30 s for each command, and fetches that each end within
// the system's time-outs. A run still holding the lock after this is stuck.
constexpr unsigned kRunLockWaitMilliseconds = 15u * 60u * 1000u;

// The service's runs say why they run, so that its blocks read apart from
// those of boot and of runs by hand.
void logReason(RunReason reason, const std::wstring& adapter) {
    switch (reason) {
    case RunReason::Console:
        break;
    case RunReason::ServiceStarted:
        logWide(L"run by the service: it started\n");
        break;
    case RunReason::AdapterAppeared:
        logWide(L"run by the service: adapter %ls appeared and is listed\n", adapter.c_str());
        break;
    case RunReason::MetadataChanged:
        logWide(L"run by the service: the metadata changed\n");
        break;
    case RunReason::AgainAfterFailure:
        logWide(L"run by the service: again after a failed run\n");
        break;
    }
}

// One block of the run log around the steps; `lock` says how the wait for
// other runs ended, which only shows in the log when it did not end well.
// The desired configuration goes to `keep` when given, else it is released
// before the closing lines.
RunOutcome runBlock(const platform::RunLockResult& lock, RunReason reason, const std::wstring& adapter,
                    std::unique_ptr<AdapterConfigList>* keep) {
    platform::redirectOutputToLog(settings().runLog);
    std::setlocale(LC_ALL, "");

    logNarrow("%s", startStamp(platform::localTime()).c_str());
    logWide(L"starting config ip address\n");
    logReason(reason, adapter);
    // A stuck run must not keep every later run from configuring the
    // machine, so after the wait (or without a lock at all) this run goes
    // ahead and says so.
    if (lock.outcome == platform::RunLock::TimedOut) {
        logWide(L"another run still held the run lock after %u s, going ahead\n",
                kRunLockWaitMilliseconds / 1000u);
    } else if (lock.outcome == platform::RunLock::Unavailable) {
        logWide(L"run lock unavailable (error %lu), going ahead without it\n", lock.errorCode);
    } else if (lock.outcome == platform::RunLock::Foreign) {
        logWide(L"run lock made by an account that is not an administrator, going ahead without it\n");
    }

    RunOutcome outcome;
    {
        std::unique_ptr<AdapterConfigList> desired;
        outcome = runSteps(desired);
        if (keep != nullptr) *keep = std::move(desired);
    }  // the desired configuration is released here, before the closing lines

    logWide(L"configure end\n");
    logFlush();
    logNarrow("%s", endStamp(platform::localTime()).c_str());

    platform::restoreConsoleOutput();
    return outcome;
}

// The events of the program's message table (src/platform/win32/messages.mc).
constexpr unsigned kEventRunSucceeded = 1;
constexpr unsigned kEventRunFailed = 2;
constexpr unsigned kEventChecksFailing = 3;
constexpr unsigned kEventNothingToConfigure = 4;
constexpr unsigned kEventRunStopped = 5;

// Nobody watches the console at boot: a fleet's operators read the machine's
// serial console, and its administrators the event log. Only a failure is
// an error there: most machines have nothing to configure, and a run that a
// stop or a shutdown ended did not fail, it did not finish.
void reportOutcome(RunOutcome outcome, const std::wstring& closingLine) {
    const Settings& s = settings();
    std::wstring line = closingLine;
    platform::EventType type = platform::EventType::Information;
    unsigned id = kEventRunSucceeded;
    if (outcome == RunOutcome::NothingToConfigure) {
        line = L"nothing to configure, no additional adapter listed";
        id = kEventNothingToConfigure;
    } else if (outcome == RunOutcome::Failed) {
        type = platform::EventType::Error;
        id = kEventRunFailed;
    } else if (outcome == RunOutcome::Stopped) {
        type = platform::EventType::Warning;
        id = kEventRunStopped;
    }
    platform::writeSerialConsole(wideToLocale(L"addrsmith " + s.version + L": " + line) + "\r\n");
    platform::reportEvent(L"addrsmith", type, id, {line, s.runLog, s.version});
}

}  // namespace

void reportServiceWarning(const std::wstring& line) {
    const Settings& s = settings();
    platform::writeSerialConsole(wideToLocale(L"addrsmith " + s.version + L": " + line) + "\r\n");
    platform::reportEvent(L"addrsmith", platform::EventType::Warning, kEventChecksFailing,
                          {line, s.runLog, s.version});
}

int runConfiguration() {
    return runBlock(platform::RunLockResult{platform::RunLock::Held, 0}, RunReason::Console, std::wstring(),
                    nullptr) == RunOutcome::Succeeded
               ? 0
               : -1;
}

void prepareProcess() {
    // Before anything loads a library: run as the system account, nothing
    // planted in the current directory may load into the program.
    platform::removeCurrentDirectoryFromDllSearch();
    const std::optional<unsigned> major = platform::osMajorVersion();
    if (major && *major < 6) legacyOs = 1;
}

RunReport runOnce(RunReason reason, const std::wstring& adapter) {
    RunReport report;
    // Two runs at once would interleave their log blocks and race on the
    // adapters, the saved file and its backup. The lock is taken before the
    // log is opened and let go once the closing line is out, not held
    // through "pause": a run left at a console must not hold up the next.
    const platform::RunLockResult lock = platform::acquireRunLock(kRunLockWaitMilliseconds);
    if (lock.outcome == platform::RunLock::Stopped) return report;
    report.ran = true;
    report.outcome = runBlock(lock, reason, adapter, reason == RunReason::Console ? nullptr : &report.desired);
    // Only the service's runs are ever stopped, and no one sees their
    // console: what their line says is kept for whoever asks afterwards.
    const std::wstring closingLine =
        report.outcome == RunOutcome::Succeeded ? L"set netcard info success"
        : report.outcome == RunOutcome::Stopped ? L"stopped before the end, detail log in " + settings().runLog
                                                : L"set netcard info fail, detail log in " + settings().runLog;
    logWide(L"%ls\n", closingLine.c_str());
    logFlush();
    // Still under the lock, so that the next run finds the serial port free.
    reportOutcome(report.outcome, closingLine);
    // The block is closed by now: the line goes where the closing line went,
    // before "pause", in front of whoever would then wait on this run.
    report.closingLine = closingLine;
    const unsigned long notLetGo = platform::releaseRunLock();
    if (notLetGo != 0) {
        logNarrow("run lock not let go (error %lu), later runs wait until this one ends\n", notLetGo);
        logFlush();
    }
    return report;
}

int runEntry() {
    prepareProcess();
    runOnce(RunReason::Console);
    platform::waitForKey();
    return 0;
}
