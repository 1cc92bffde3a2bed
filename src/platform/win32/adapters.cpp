// The IPv4 adapter table from the IP helper, turned into plain entries.
#include "platform/win32/win.h"

#include <iphlpapi.h>

#include <cstring>
#include <memory>

#include "platform/adapters.h"
#include "platform/table_sizing.h"

namespace {

// Only an IPv4 socket address gives an address; anything else (or none at
// all, which the system allows) is left out.
std::optional<platform::Ipv4> toIpv4(const SOCKET_ADDRESS& address) {
    if (address.lpSockaddr == nullptr) return std::nullopt;
    if (address.lpSockaddr->sa_family != AF_INET) return std::nullopt;
    if (address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in))) return std::nullopt;
    sockaddr_in in;
    std::memcpy(&in, address.lpSockaddr, sizeof in);
    platform::Ipv4 out{};
    std::memcpy(out.data(), &in.sin_addr, out.size());  // network order: first octet first
    return out;
}

platform::AdapterEntry toEntry(const IP_ADAPTER_ADDRESSES& adapter) {
    platform::AdapterEntry entry;
    if (adapter.AdapterName != nullptr) entry.adapterName = adapter.AdapterName;
    if (adapter.FriendlyName != nullptr) entry.friendlyName = adapter.FriendlyName;
    static_assert(sizeof(adapter.PhysicalAddress) == 8, "physical address field");
    std::memcpy(entry.physicalAddress.data(), adapter.PhysicalAddress,
                entry.physicalAddress.size());
    entry.physicalAddressLength = adapter.PhysicalAddressLength;
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = adapter.FirstUnicastAddress; u != nullptr;
         u = u->Next) {
        entry.unicast.push_back(platform::UnicastAddress{toIpv4(u->Address), u->OnLinkPrefixLength});
    }
    for (const IP_ADAPTER_DNS_SERVER_ADDRESS* d = adapter.FirstDnsServerAddress; d != nullptr;
         d = d->Next) {
        entry.dnsServers.push_back(toIpv4(d->Address));
    }
    for (const IP_ADAPTER_GATEWAY_ADDRESS_LH* g = adapter.FirstGatewayAddress; g != nullptr;
         g = g->Next) {
        entry.gateways.push_back(toIpv4(g->Address));
    }
    return entry;
}

}  // namespace

namespace platform {

std::optional<std::vector<AdapterEntry>> queryAdapters() {
    const ULONG family = AF_INET;
    const ULONG flags = GAA_FLAG_INCLUDE_GATEWAYS;

    std::unique_ptr<unsigned char[]> block;
    const bool filled = sizeAndFillTable([&](std::size_t capacity) {
        block.reset(capacity > 0 ? new unsigned char[capacity] : nullptr);  // new[]: aligned for the entries
        ULONG length = static_cast<ULONG>(capacity);
        const ULONG status = ::GetAdaptersAddresses(
            family, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(block.get()), &length);
        if (status == ERROR_SUCCESS) return TableCall{TableAnswer::Filled, capacity};
        if (status == ERROR_BUFFER_OVERFLOW) return TableCall{TableAnswer::TooSmall, length};
        return TableCall{TableAnswer::Failed, 0};
    });
    if (!filled) return std::nullopt;

    std::vector<AdapterEntry> table;
    for (const IP_ADAPTER_ADDRESSES* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(block.get());
         a != nullptr; a = a->Next) {
        table.push_back(toEntry(*a));
    }
    return table;
}

}  // namespace platform
