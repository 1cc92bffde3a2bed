#include "adapters/matching.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <vector>

#include "adapters/apply.h"
#include "adapters/snapshot.h"
#include "core/run_log.h"
#include "platform/adapters.h"
#include "platform/system.h"

namespace {

constexpr int kMaxRetries = 7;
constexpr unsigned kRetryWaitMilliseconds = 30000;
// How often a wait looks whether the missing adapters have arrived.
constexpr unsigned kLookMilliseconds = 1000;

// Gives the record its adapter's name, or none and the reason when netsh
// could not be handed that name.
const wchar_t* nameRecord(AdapterConfig& record, const platform::AdapterEntry& adapter) {
    const wchar_t* reason = unusableAdapterNameReason(adapter.friendlyName);
    if (reason != nullptr) {
        record.adapterName[0] = L'\0';
    } else {
        copyText(record.adapterName, adapter.friendlyName);
    }
    return reason;
}

// One pass over the desired records against one table; the count of records
// that found their adapter. The records still without one are added to
// `missing`.
std::size_t matchPass(AdapterConfigList& desired, const std::vector<platform::AdapterEntry>& table,
                      AdapterConfigList& current, std::vector<const AdapterConfig*>& missing) {
    std::size_t matched = 0;
    for (AdapterConfig& record : desired) {
        const platform::AdapterEntry* adapter = findAdapterByMac(table, record.mac);
        if (adapter == nullptr) {
            missing.push_back(&record);
            logWide(L"cannot find match adpater mac=%ls\n", hardwareAddressText(record.mac, L'-').c_str());
            continue;
        }
        logWide(L"Find Adapter Name: %ls\n", adapter->friendlyName.c_str());
        logFlush();
        if (const wchar_t* reason = nameRecord(record, *adapter)) {
            // The adapter is there, so waiting would not help; it is left as
            // it is, and the check after applying tells whether that will do.
            logWide(L"adapter mac=%ls not configured: %ls\n", hardwareAddressText(record.mac, L'-').c_str(), reason);
        }
        ++matched;
        getCurrentConfig(*adapter, current);
    }
    return matched;
}

bool allPresent(const std::vector<platform::AdapterEntry>& table,
                const std::vector<const AdapterConfig*>& records) {
    for (const AdapterConfig* record : records) {
        if (findAdapterByMac(table, record->mac) == nullptr) return false;
    }
    return true;
}

// The wait between two passes. Adapters are often attached a few seconds
// into a boot, so the table is looked at about once a second, silently, and
// the wait ends as soon as every adapter the last pass missed is there; the
// pass that follows then finds and logs them. Otherwise it lasts its full
// time. A look that fails is no news: the passes report failures.
void waitForMissingAdapters(const std::vector<const AdapterConfig*>& missing) {
    const std::uint32_t start = platform::tickMilliseconds();
    // Differences of the tick count survive its wrapping.
    for (std::uint32_t waited = 0; waited < kRetryWaitMilliseconds;
         waited = platform::tickMilliseconds() - start) {
        platform::sleepMilliseconds(std::min(kLookMilliseconds, kRetryWaitMilliseconds - waited));
        if (platform::stopRequested()) return;
        // At the end of the wait the next pass looks anyway.
        if (platform::tickMilliseconds() - start >= kRetryWaitMilliseconds) return;
        const std::optional<std::vector<platform::AdapterEntry>> table = platform::queryAdapters();
        if (table && allPresent(*table, missing)) return;
    }
}

}  // namespace

int ConfigIpAddresses(AdapterConfigList& desired) {
    logWide(L"begin ConfigIpAddresses\n");

    // Every snapshot of every pass, the earlier first.
    AdapterConfigList current;
    int retries = 0;
    for (;;) {
        const std::optional<std::vector<platform::AdapterEntry>> table = platform::queryAdapters();
        if (!table) {
            logNarrow("Call to GetAdaptersAddresses failed.\n");
            return 0;
        }
        std::vector<const AdapterConfig*> missing;
        if (matchPass(desired, *table, current, missing) == desired.size()) break;
        if (retries >= kMaxRetries) {
            logWide(L"cannot find all matched network adapters , configure finded\n");
            break;
        }
        waitForMissingAdapters(missing);
        // Stopped: nothing more is applied.
        if (platform::stopRequested()) return 0;
        ++retries;
        logWide(L"retry find adapters retrycount=%d\n", retries);
    }

    // A record matched in any pass keeps its name and is configured.
    for (const AdapterConfig& record : desired) {
        if (platform::stopRequested()) break;
        if (record.adapterName[0] != L'\0') setAdapterConfig(record, current);
    }
    return 0;
}

std::vector<AdapterPlan> planConfigIpAddresses(AdapterConfigList& desired,
                                               const std::vector<platform::AdapterEntry>& table) {
    std::vector<AdapterPlan> plans;
    AdapterConfigList current;
    for (AdapterConfig& record : desired) {
        AdapterPlan plan;
        const platform::AdapterEntry* adapter = findAdapterByMac(table, record.mac);
        if (adapter == nullptr) {
            plan.leftOut = L"it is not in the adapter table: a run waits for it up to 7 times 30 s, then leaves it out";
        } else {
            plan.name = adapter->friendlyName;
            plan.leftOut = nameRecord(record, *adapter);
            getCurrentConfig(*adapter, current);
        }
        if (plan.leftOut == nullptr) plan.decision = decideAdapterConfig(record, current);
        plans.push_back(std::move(plan));
    }
    return plans;
}
