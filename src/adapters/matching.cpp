#include "adapters/matching.h"

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

unsigned byte(const AdapterConfig& record, std::size_t i) {
    return static_cast<unsigned>(record.mac[i]);
}

// One pass over the desired records against one table; the count of records
// that found their adapter.
std::size_t matchPass(AdapterConfigList& desired, const std::vector<platform::AdapterEntry>& table,
                      AdapterConfigList& current) {
    std::size_t matched = 0;
    for (AdapterConfig& record : desired) {
        const platform::AdapterEntry* adapter = findAdapterByMac(table, record.mac);
        if (adapter == nullptr) {
            logWide(L"cannot find match adpater mac=%02x-%02x-%02x-%02x-%02x-%02x\n",
                    byte(record, 0), byte(record, 1), byte(record, 2), byte(record, 3),
                    byte(record, 4), byte(record, 5));
            continue;
        }
        logWide(L"Find Adapter Name: %ls\n", adapter->friendlyName.c_str());
        logFlush();
        if (const wchar_t* reason = unusableAdapterNameReason(adapter->friendlyName)) {
            // The adapter is there, so waiting would not help; it is left as
            // it is, and the check after applying tells whether that will do.
            logWide(L"adapter mac=%02x-%02x-%02x-%02x-%02x-%02x not configured: %ls\n",
                    byte(record, 0), byte(record, 1), byte(record, 2), byte(record, 3),
                    byte(record, 4), byte(record, 5), reason);
            record.adapterName[0] = L'\0';
        } else {
            copyText(record.adapterName, adapter->friendlyName);
        }
        ++matched;
        getCurrentConfig(*adapter, current);
    }
    return matched;
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
        if (matchPass(desired, *table, current) == desired.size()) break;
        if (retries >= kMaxRetries) {
            logWide(L"cannot find all matched network adapters , configure finded\n");
            break;
        }
        platform::sleepMilliseconds(kRetryWaitMilliseconds);
        ++retries;
        logWide(L"retry find adapters retrycount=%d\n", retries);
    }

    // A record matched in any pass keeps its name and is configured.
    for (const AdapterConfig& record : desired) {
        if (record.adapterName[0] != L'\0') setAdapterConfig(record, current);
    }
    return 0;
}
