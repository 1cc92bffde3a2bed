// The table of network adapters with their IPv4 settings.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using Ipv4 = std::array<std::uint8_t, 4>;

struct UnicastAddress {
    std::optional<Ipv4> address;  // Windows may leave the socket address out
    std::uint8_t onLinkPrefixLength = 0;
};

struct AdapterEntry {
    std::string adapterName;      // internal (narrow) name
    std::wstring friendlyName;
    // The whole physical address field as the system holds it; only bytes
    // 0 to 5 are ever compared, whatever the length says.
    std::array<std::uint8_t, 8> physicalAddress{};
    unsigned physicalAddressLength = 0;
    std::vector<UnicastAddress> unicast;
    std::vector<std::optional<Ipv4>> dnsServers;
    std::vector<std::optional<Ipv4>> gateways;
};

// Queries the IPv4 adapter table with gateways included; nothing when the
// query fails (a machine with no adapter at all makes it fail too).
std::optional<std::vector<AdapterEntry>> queryAdapters();

}  // namespace platform
