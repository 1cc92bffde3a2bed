#include "app/watch.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapters/apply.h"
#include "app/driver.h"
#include "core/run_log.h"
#include "metadata/builder.h"
#include "platform/adapters.h"
#include "platform/system.h"
#include "savedconfig/preflight.h"

namespace {

using Mac = std::array<std::uint8_t, 6>;

// The adapter table is cheap to read and new adapters are wanted at once.
constexpr std::uint32_t kLookMilliseconds = 2000;
// Platforms list a newly attached adapter a few seconds after it appears:
// its listing is asked at once, then again this long after each try, and
// after that only the regular check covers it.
constexpr std::uint32_t kListedAgainMilliseconds[] = {2000, 4000, 8000, 16000};
// A run that failed is tried again one interval later, then at doubling
// intervals up to this: a fault that lasts costs a run an hour, not one a
// minute, each with its failure event.
constexpr std::uint32_t kLongestRetryMilliseconds = 3600u * 1000u;
// Checks that keep failing are worth one warning, not one per check.
constexpr std::uint32_t kFailingChecksWarningMilliseconds = 10u * 60u * 1000u;
// While checks reach nothing, they add the route to the metadata network
// again, at most once an interval and never more often than this: a route
// command is a process, and most outages are not a lost route.
constexpr std::uint32_t kRouteAgainMilliseconds = 60000;

bool due(std::uint32_t now, std::uint32_t at) {
    // Tick counts wrap after 49 days; their differences do not.
    return static_cast<std::int32_t>(now - at) >= 0;
}

std::uint32_t untilDue(std::uint32_t now, std::uint32_t at) { return due(now, at) ? 0 : at - now; }

// The hardware addresses in the adapter table; nothing when it cannot be read.
std::optional<std::vector<Mac>> adapterMacs() {
    const std::optional<std::vector<platform::AdapterEntry>> table = platform::queryAdapters();
    if (!table) return std::nullopt;
    std::vector<Mac> macs;
    for (const platform::AdapterEntry& entry : *table) {
        Mac mac;
        std::copy_n(entry.physicalAddress.begin(), mac.size(), mac.begin());
        macs.push_back(mac);
    }
    return macs;
}

// Whether the service asks for anything the last run was not given, judged
// as a run judges whether settings are in effect: one more adapter or other
// settings are news, another order of the same addresses is not. An adapter
// no longer asked for (listed without addresses, or not at all) is no news:
// a run would take nothing away from it.
bool askedAnythingNew(const AdapterConfigList& asked, const AdapterConfigList& given) {
    return std::any_of(asked.begin(), asked.end(),
                       [&](const AdapterConfig& record) { return ipConfigChanged(record, given) != 0; });
}

void addRouteQuietly() { enableLocalNetwork(); }

// An adapter that appeared and was not listed yet.
struct Newcomer {
    Mac mac;
    std::uint32_t askAt;
    std::size_t asked;
};

class Watch {
public:
    explicit Watch(unsigned intervalSeconds) : interval_(intervalSeconds * 1000u) {}

    int run() {
        routeAgainAt_ = platform::tickMilliseconds();
        std::optional<RunReason> reason = RunReason::ServiceStarted;
        Mac appeared{};
        for (;;) {
            if (reason && !runFor(*reason, appeared)) break;
            sleepUntilNextDue();
            if (platform::stopRequested()) break;
            reason = whatIsDue(appeared);
        }
        return 0;
    }

private:
    // False when a stop came before the run could start, or ended it.
    bool runFor(RunReason reason, const Mac& appeared) {
        // A stop never starts a run, whatever a check found just before it.
        if (platform::stopRequested()) return false;
        // A change starts the retries over.
        if (reason == RunReason::AdapterAppeared || reason == RunReason::MetadataChanged) failedRuns_ = 0;
        // What is there now is the run's to handle; what comes later is new.
        if (std::optional<std::vector<Mac>> macs = adapterMacs()) known_ = std::move(*macs);
        const std::wstring adapter =
            reason == RunReason::AdapterAppeared ? hardwareAddressText(appeared.data(), L'-') : std::wstring();
        RunReport report = runOnce(reason, adapter);
        if (!report.ran || report.outcome == RunOutcome::Stopped) return false;
        // A run that got no configuration leaves the last one to compare with.
        if (report.desired) lastTried_ = std::move(report.desired);
        const std::uint32_t now = platform::tickMilliseconds();
        // Nothing to configure is how the machine is, not a fault to try again.
        if (report.outcome == RunOutcome::Succeeded || report.outcome == RunOutcome::NothingToConfigure) {
            failedRuns_ = 0;
        } else {
            const unsigned doublings = std::min(failedRuns_, 12u);
            ++failedRuns_;
            retryAt_ = now + static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                 std::uint64_t{interval_} << doublings, kLongestRetryMilliseconds));
        }
        nextLook_ = now + kLookMilliseconds;
        scheduleCheck(now);
        return true;
    }

    void scheduleCheck(std::uint32_t now) {
        // Machines started together must not all ask at the same moment.
        nextCheck_ = now + interval_ + platform::randomNumber() % (interval_ / 10 + 1);
    }

    void sleepUntilNextDue() {
        const std::uint32_t now = platform::tickMilliseconds();
        std::uint32_t wait = std::min(untilDue(now, nextLook_), untilDue(now, nextCheck_));
        if (failedRuns_ > 0) wait = std::min(wait, untilDue(now, retryAt_));
        for (const Newcomer& newcomer : newcomers_) wait = std::min(wait, untilDue(now, newcomer.askAt));
        if (wait > 0) platform::sleepMilliseconds(wait);
    }

    // The reason for a run when one is due.
    std::optional<RunReason> whatIsDue(Mac& appeared) {
        std::uint32_t now = platform::tickMilliseconds();
        if (due(now, nextLook_)) {
            nextLook_ = now + kLookMilliseconds;
            lookForNewcomers(now);
        }
        for (auto it = newcomers_.begin(); it != newcomers_.end();) {
            if (!due(now, it->askAt)) {
                ++it;
                continue;
            }
            std::optional<bool> listed;
            {
                const QuietLog quiet;
                listed = adapterListed(it->mac.data());
            }
            now = platform::tickMilliseconds();
            if (listed.value_or(false)) {
                appeared = it->mac;
                newcomers_.erase(it);
                return RunReason::AdapterAppeared;
            }
            if (it->asked == std::size(kListedAgainMilliseconds)) {
                it = newcomers_.erase(it);
                continue;
            }
            it->askAt = now + kListedAgainMilliseconds[it->asked++];
            ++it;
        }
        if (failedRuns_ > 0 && due(now, retryAt_)) return RunReason::AgainAfterFailure;
        if (due(now, nextCheck_)) return check();
        return std::nullopt;
    }

    void lookForNewcomers(std::uint32_t now) {
        std::optional<std::vector<Mac>> macs = adapterMacs();
        if (!macs) return;  // no news
        for (const Mac& mac : *macs) {
            if (std::find(known_.begin(), known_.end(), mac) != known_.end()) continue;
            const bool waiting = std::any_of(newcomers_.begin(), newcomers_.end(),
                                             [&](const Newcomer& n) { return n.mac == mac; });
            if (!waiting) newcomers_.push_back(Newcomer{mac, now, 0});
        }
        known_ = std::move(*macs);
    }

    // What the service asks for now, against what the last run was given.
    // Anything short of a whole answer changes nothing.
    std::optional<RunReason> check() {
        std::unique_ptr<AdapterConfigList> asked;
        std::string why;
        std::uint32_t now = platform::tickMilliseconds();
        const bool routeDue = due(now, routeAgainAt_);
        if (routeDue) routeAgainAt_ = now + std::max(interval_, kRouteAgainMilliseconds);
        {
            const QuietLog quiet;
            asked = getDesiredConfig(routeDue ? addRouteQuietly : nullptr, nullptr, Asking::Check);
            why = quiet.lastLine();
        }
        now = platform::tickMilliseconds();
        scheduleCheck(now);
        if (!asked) {
            checkFailed(now, why);
            return std::nullopt;
        }
        failing_ = false;
        // No run got as far as the metadata yet: the retries see to that.
        if (!lastTried_ || !askedAnythingNew(*asked, *lastTried_)) return std::nullopt;
        return RunReason::MetadataChanged;
    }

    void checkFailed(std::uint32_t now, const std::string& why) {
        if (platform::stopRequested()) return;
        if (!failing_) {
            failing_ = true;
            failingSince_ = now;
            warned_ = false;
            return;
        }
        if (warned_ || now - failingSince_ < kFailingChecksWarningMilliseconds) return;
        warned_ = true;
        std::wstring line = L"metadata checks have failed for " +
                            std::to_wstring((now - failingSince_) / 60000u) +
                            L" min, settings left as they are";
        if (!why.empty()) {
            line += L"; last: ";
            for (const char c : why) line += static_cast<wchar_t>(static_cast<unsigned char>(c));
        }
        reportServiceWarning(line);
    }

    const std::uint32_t interval_;
    std::unique_ptr<AdapterConfigList> lastTried_;
    unsigned failedRuns_ = 0;
    std::uint32_t retryAt_ = 0;
    std::uint32_t nextLook_ = 0;
    std::uint32_t nextCheck_ = 0;
    std::vector<Mac> known_;
    std::vector<Newcomer> newcomers_;
    // A plain flag and tick rather than an optional: g++ 12 at -O3 takes the
    // optional's value for uninitialized once this is inlined into run().
    bool failing_ = false;
    std::uint32_t failingSince_ = 0;
    bool warned_ = false;
    std::uint32_t routeAgainAt_ = 0;
};

}  // namespace

int watchForChanges(unsigned intervalSeconds) {
    Watch watch(intervalSeconds);
    return watch.run();
}
