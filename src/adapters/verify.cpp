#include "adapters/verify.h"

#include <optional>
#include <vector>

#include "adapters/apply.h"
#include "adapters/snapshot.h"
#include "core/run_log.h"
#include "platform/adapters.h"

int verifyCurrentConfig(const AdapterConfigList& desired) {
    std::size_t inEffect = 0;
    const std::optional<std::vector<platform::AdapterEntry>> table = platform::queryAdapters();
    if (!table) {
        logNarrow("Call to GetAdaptersAddresses failed.\n");
    } else {
        // A fresh look of our own, independent of what matching saw.
        AdapterConfigList current;
        for (const AdapterConfig& record : desired) {
            if (const platform::AdapterEntry* adapter = findAdapterByMac(*table, record.mac)) {
                getCurrentConfig(*adapter, current);
            }
        }
        for (const AdapterConfig& record : desired) {
            if (ipConfigChanged(record, current) == 0) ++inEffect;
        }
    }
    return inEffect == desired.size() ? 1 : 0;
}
