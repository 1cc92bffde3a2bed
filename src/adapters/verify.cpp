#include "adapters/verify.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "adapters/apply.h"
#include "adapters/snapshot.h"
#include "core/run_log.h"
#include "platform/adapters.h"
#include "platform/system.h"

namespace {

// From Vista on a new address stays tentative while the system looks for
// another machine that has it: about three probes a second apart, more where
// an administrator raised their number. The check waits for that verdict,
// looking twice a second, but not for ever.
constexpr std::uint32_t kDetectionWaitMilliseconds = 15000;
constexpr unsigned kLookMilliseconds = 500;

// True while the system is still checking one of the desired addresses.
bool detectionUnderWay(const AdapterConfigList& desired,
                       const std::vector<platform::AdapterEntry>& table) {
    for (const AdapterConfig& record : desired) {
        const platform::AdapterEntry* adapter = findAdapterByMac(table, record.mac);
        if (adapter == nullptr || !record.ipList) continue;
        for (const platform::UnicastAddress& unicast : adapter->unicast) {
            if (unicast.address && unicast.state == platform::AddressState::Tentative &&
                std::find(record.ipList->begin(), record.ipList->end(),
                          ipv4ToText(*unicast.address)) != record.ipList->end()) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

int verifyCurrentConfig(const AdapterConfigList& desired) {
    std::size_t inEffect = 0;
    std::optional<std::vector<platform::AdapterEntry>> table = platform::queryAdapters();
    if (!table) {
        logNarrow("Call to GetAdaptersAddresses failed.\n");
    } else {
        // Silent looks; one that fails is no news.
        const std::uint32_t start = platform::tickMilliseconds();
        while (detectionUnderWay(desired, *table) && !platform::stopRequested() &&
               platform::tickMilliseconds() - start < kDetectionWaitMilliseconds) {
            platform::sleepMilliseconds(kLookMilliseconds);
            if (auto next = platform::queryAdapters()) table = std::move(next);
        }
        // A fresh look of our own, independent of what matching saw. An
        // address still tentative now is not in effect: nobody can yet say
        // it will be usable.
        AdapterConfigList current;
        for (const AdapterConfig& record : desired) {
            if (const platform::AdapterEntry* adapter = findAdapterByMac(*table, record.mac)) {
                getCurrentConfig(*adapter, current, Tentative::NotInEffect);
            }
        }
        for (const AdapterConfig& record : desired) {
            if (ipConfigChanged(record, current) == 0) ++inEffect;
        }
    }
    return inEffect == desired.size() ? 1 : 0;
}
