// The table of network adapters with their IPv4 settings.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using Ipv4 = std::array<std::uint8_t, 4>;

// Where the system's duplicate detection stands with an address: only a
// Preferred or Deprecated address is in use. Tentative: still being checked
// (about a second after it was set); Duplicate: another machine has it.
enum class AddressState { Invalid, Tentative, Duplicate, Deprecated, Preferred };

struct UnicastAddress {
    std::optional<Ipv4> address;  // Windows may leave the socket address out
    std::uint8_t onLinkPrefixLength = 0;
    // An entry too short to say is taken as in use, as every address was
    // before the state was read.
    AddressState state = AddressState::Preferred;
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
