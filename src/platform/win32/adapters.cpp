// The IPv4 adapter table from the IP helper, turned into plain entries.
#include "platform/win32/win.h"

#include <iphlpapi.h>

#include <cstring>
#include <memory>

#include "platform/adapters.h"

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

    // First ask how much room the table needs, then fetch it into a block of
    // exactly that size; only the second answer counts.
    ULONG length = 0;
    std::unique_ptr<unsigned char[]> block;
    if (::GetAdaptersAddresses(family, flags, nullptr, nullptr, &length) == ERROR_BUFFER_OVERFLOW) {
        block.reset(new unsigned char[length]);  // new[] gives the alignment the entries need
    } else {
        length = 0;
    }
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(block.get());
    if (::GetAdaptersAddresses(family, flags, nullptr, first, &length) != ERROR_SUCCESS) {
        return std::nullopt;
    }

    std::vector<AdapterEntry> table;
    for (const IP_ADAPTER_ADDRESSES* a = first; a != nullptr; a = a->Next) {
        table.push_back(toEntry(*a));
    }
    return table;
}

}  // namespace platform
