// One entry of the system's adapter table turned into a plain entry, apart
// from the query, so that the Windows-layer tests can hand it entries of any
// length. Internal to platform/win32.
#pragma once

#include "platform/win32/win.h"

#include <iphlpapi.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/adapters.h"

namespace win32 {

// One adapter as the older table (GetAdaptersInfo) gives it: what the
// shorter entries of systems before version 6 leave out.
struct OlderAdapter {
    std::string adapterName;
    unsigned long index = 0;
    std::vector<platform::Ipv4> gateways;
    // Each address with the prefix length of its mask.
    std::vector<std::pair<platform::Ipv4, std::uint8_t>> prefixes;
};

// The older table; nothing when the query fails.
std::optional<std::vector<OlderAdapter>> queryOlderTable();

// The adapter of that name, or else of that (non-zero) index.
const OlderAdapter* findOlder(const std::vector<OlderAdapter>& table, const std::string& adapterName,
                              unsigned long index);

// Asked only for an entry that lacks a field: the same adapter in the older
// table, or nothing.
using OlderLookup =
    std::function<const OlderAdapter*(const std::string& adapterName, unsigned long index)>;

// A prefix length no mask converts from, for an address the older table
// does not know: the snapshot then takes the mask from another address.
constexpr std::uint8_t kUnknownPrefix = 0xff;

// The flags of the adapter query on a system of that major version (nothing:
// unknown). The flag that lists gateways is documented from version 6 on;
// whether older systems ignore or refuse it is not, and a refusal would fail
// every run there, so they are not asked for it.
ULONG adapterQueryFlags(std::optional<unsigned> majorVersion);

// An address's state as the program takes it on a system of that major
// version. What systems before version 6 put in the state of an IPv4
// address could not be tried; a state read there as "not in use" would fail
// every run, so only a duplicate, which those systems detect too, is taken
// as the system gives it there.
platform::AddressState stateOnSystem(platform::AddressState state, std::optional<unsigned> majorVersion);

// Reads only the fields that the entry's Length (and each listed entry's
// own Length) covers; whatever lies behind an entry is never read. An entry
// too short to hold the gateway list or a prefix length takes them from
// `older`, and so do the gateways of a query that did not ask for them.
platform::AdapterEntry toEntry(const IP_ADAPTER_ADDRESSES_LH* adapter, const OlderLookup& older,
                               bool gatewaysAsked = true);

// The next entry of the table, or nullptr when the entry is too short to
// hold the link.
const IP_ADAPTER_ADDRESSES_LH* nextEntry(const IP_ADAPTER_ADDRESSES_LH* adapter);

}  // namespace win32
