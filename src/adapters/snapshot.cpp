#include "adapters/snapshot.h"

#include <memory>
#include <utility>

#include "core/run_log.h"

std::wstring ipv4ToText(const platform::Ipv4& address) {
    std::wstring text;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i > 0) text.push_back(L'.');
        text += std::to_wstring(static_cast<unsigned>(address[i]));
    }
    return text;
}

std::wstring prefixLengthToMask(unsigned prefixLength) {
    if (prefixLength > 32) return std::wstring();
    const std::uint32_t bits =
        prefixLength == 0 ? 0u : ~std::uint32_t(0) << (32 - prefixLength);
    const platform::Ipv4 mask{static_cast<std::uint8_t>(bits >> 24),
                              static_cast<std::uint8_t>(bits >> 16),
                              static_cast<std::uint8_t>(bits >> 8),
                              static_cast<std::uint8_t>(bits)};
    return ipv4ToText(mask);
}

namespace {

const wchar_t* stateName(platform::AddressState state) {
    static const wchar_t* const names[] = {L"invalid", L"tentative", L"duplicate", L"deprecated",
                                           L"preferred"};
    return names[static_cast<std::size_t>(state)];
}

bool inEffect(platform::AddressState state, Tentative tentative) {
    using platform::AddressState;
    return state == AddressState::Preferred || state == AddressState::Deprecated ||
           (state == AddressState::Tentative && tentative == Tentative::InEffect);
}

}  // namespace

const platform::AdapterEntry* findAdapterByMac(const std::vector<platform::AdapterEntry>& table,
                                               const std::uint8_t (&mac)[6]) {
    for (const platform::AdapterEntry& entry : table) {
        bool same = true;
        for (std::size_t i = 0; i < 6; ++i) {
            if (entry.physicalAddress[i] != mac[i]) {
                same = false;
                break;
            }
        }
        if (same) return &entry;
    }
    return nullptr;
}

void getCurrentConfig(const platform::AdapterEntry& adapter, AdapterConfigList& list,
                      Tentative tentative) {
    auto ipList = std::make_unique<TextList>();
    auto dnsList = std::make_unique<TextList>();

    logWide(L"begin getCurrentConfig\n");
    logNarrow("current config AdapterName: %s\n", adapter.adapterName.c_str());

    AdapterConfig record;
    for (std::size_t i = 0; i < 6; ++i) record.mac[i] = adapter.physicalAddress[i];

    // A missing address ends its chain; what came before it stays.
    bool allInEffect = true;
    for (const platform::UnicastAddress& unicast : adapter.unicast) {
        if (!unicast.address) break;
        const std::wstring text = ipv4ToText(*unicast.address);
        ipList->push_back(text);
        // The state shows only where it is not the usual one.
        if (unicast.state == platform::AddressState::Preferred) {
            logWide(L"current config ip=%ls\n", text.c_str());
        } else if (inEffect(unicast.state, tentative)) {
            logWide(L"current config ip=%ls (%ls)\n", text.c_str(), stateName(unicast.state));
        } else {
            logWide(L"current config ip=%ls (%ls, not in effect)\n", text.c_str(),
                    stateName(unicast.state));
            allInEffect = false;
        }
        // The last address whose prefix converts gives the mask.
        const std::wstring mask = prefixLengthToMask(unicast.onLinkPrefixLength);
        if (!mask.empty()) {
            copyText(record.mask, mask);
            logWide(L"current config mask=%ls\n", mask.c_str());
        }
    }

    for (const std::optional<platform::Ipv4>& server : adapter.dnsServers) {
        if (!server) break;
        const std::wstring text = ipv4ToText(*server);
        dnsList->push_back(text);
        logWide(L"current config dns=%ls\n", text.c_str());
    }

    // Windows holds such an address but does not use it, so the adapter is
    // not as its addresses say: without a list the snapshot differs from
    // every desired record, and netsh sets the addresses again (which starts
    // the detection over) or the check fails. A stale address held so still
    // has netsh run, which removes it, as when every address counted.
    if (allInEffect) record.ipList = std::move(ipList);
    record.dnsList = std::move(dnsList);

    if (!adapter.gateways.empty()) {
        // A gateway entry without an address abandons the snapshot; the
        // record and the lists it took over are released right here.
        if (!adapter.gateways.front()) return;
        const std::wstring text = ipv4ToText(*adapter.gateways.front());
        copyText(record.gateway, text);
        logWide(L"current config gateway=%ls\n", text.c_str());
    }

    list.append(std::move(record));
}
