// The IPv4 adapter table from the IP helper, turned into plain entries.
//
// Systems before version 6 give shorter entries (the XP layout): no gateway
// list, and no prefix length in the address entries. Every entry says how
// long it is, so only what its Length covers is read; what such an entry
// lacks comes from the older table (GetAdaptersInfo) for the same adapter.
#include "platform/win32/adapter_entry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

#include "platform/system.h"
#include "platform/table_sizing.h"

namespace {

// A copy of the part of an entry that its Length covers, the rest zero.
// Every entry of these lists starts with its Length.
template <typename Entry>
class Covered {
public:
    explicit Covered(const void* raw) {
        static_assert(std::is_trivially_copyable_v<Entry>, "copied bytewise");
        ULONG length = 0;
        std::memcpy(&length, raw, sizeof length);
        length_ = std::min<std::size_t>(length, sizeof(Entry));
        std::memcpy(&entry_, raw, length_);
    }
    const Entry* operator->() const { return &entry_; }

    // True when the entry's Length covers the whole of `field`, a member of
    // the copy.
    template <typename Field>
    bool holds(const Field& field) const {
        const auto offset = static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(&field) -
                                                     reinterpret_cast<const unsigned char*>(&entry_));
        return offset + sizeof(Field) <= length_;
    }

private:
    Entry entry_{};
    std::size_t length_ = 0;
};

// Only an IPv4 socket address gives an address; anything else (or none at
// all, which the system allows) is left out.
std::optional<platform::Ipv4> toIpv4(const SOCKET_ADDRESS& address) {
    if (address.lpSockaddr == nullptr) return std::nullopt;
    if (address.iSockaddrLength < static_cast<INT>(sizeof(sockaddr_in))) return std::nullopt;
    sockaddr_in in;
    std::memcpy(&in, address.lpSockaddr, sizeof in);
    if (in.sin_family != AF_INET) return std::nullopt;
    platform::Ipv4 out{};
    std::memcpy(out.data(), &in.sin_addr, out.size());  // network order: first octet first
    return out;
}

// The addresses of a chain of DNS server or gateway entries, each read as
// far as its own Length.
template <typename Entry>
std::vector<std::optional<platform::Ipv4>> addressChain(const Entry* first) {
    std::vector<std::optional<platform::Ipv4>> addresses;
    for (const Entry* raw = first; raw != nullptr;) {
        const Covered<Entry> e(raw);
        addresses.push_back(e.holds(e->Address) ? toIpv4(e->Address) : std::nullopt);
        raw = e.holds(e->Next) ? e->Next : nullptr;
    }
    return addresses;
}

// The older table's dotted text: four decimal parts 0-255, read no further
// than the field. The system writes all zeros for "none".
std::optional<platform::Ipv4> parseDotted(const IP_ADDRESS_STRING& text) {
    platform::Ipv4 out{};
    std::size_t part = 0;
    unsigned value = 0;
    int digits = 0;
    for (std::size_t i = 0;; ++i) {
        const char c = i < sizeof text.String ? text.String[i] : '\0';
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (++digits > 3 || value > 255) return std::nullopt;
            continue;
        }
        if ((c != '.' && c != '\0') || digits == 0 || part == out.size()) return std::nullopt;
        out[part++] = static_cast<std::uint8_t>(value);
        value = 0;
        digits = 0;
        if (c == '\0') {
            if (part != out.size()) return std::nullopt;
            return out;
        }
    }
}

bool isZero(const platform::Ipv4& address) {
    return std::all_of(address.begin(), address.end(), [](std::uint8_t b) { return b == 0; });
}

// Leading one bits followed only by zero bits; nothing for any other mask.
std::optional<std::uint8_t> prefixOfMask(const platform::Ipv4& mask) {
    const std::uint32_t bits = (std::uint32_t(mask[0]) << 24) | (std::uint32_t(mask[1]) << 16) |
                               (std::uint32_t(mask[2]) << 8) | std::uint32_t(mask[3]);
    std::uint8_t ones = 0;
    while (ones < 32 && (bits & (std::uint32_t(1) << (31 - ones))) != 0) ++ones;
    const std::uint32_t expected = ones == 0 ? 0u : ~std::uint32_t(0) << (32 - ones);
    if (bits != expected) return std::nullopt;
    return ones;
}

// A state the system may add one day is taken as in use, as every address
// was before the state was read.
platform::AddressState toState(IP_DAD_STATE state) {
    switch (state) {
        case IpDadStateInvalid: return platform::AddressState::Invalid;
        case IpDadStateTentative: return platform::AddressState::Tentative;
        case IpDadStateDuplicate: return platform::AddressState::Duplicate;
        case IpDadStateDeprecated: return platform::AddressState::Deprecated;
        default: return platform::AddressState::Preferred;
    }
}

std::uint8_t olderPrefix(const win32::OlderAdapter* older,
                         const std::optional<platform::Ipv4>& address) {
    if (older == nullptr || !address) return win32::kUnknownPrefix;
    for (const auto& [known, prefix] : older->prefixes) {
        if (known == *address) return prefix;
    }
    return win32::kUnknownPrefix;
}

// The system's table in a block of its own; nothing when the query fails.
// new[]: aligned for the entries.
template <typename Query>
std::unique_ptr<unsigned char[]> fillTable(Query query) {
    std::unique_ptr<unsigned char[]> block;
    const bool filled = platform::sizeAndFillTable([&](std::size_t capacity) {
        block.reset(capacity > 0 ? new unsigned char[capacity] : nullptr);
        ULONG length = static_cast<ULONG>(capacity);
        const ULONG status = query(block.get(), &length);
        if (status == ERROR_SUCCESS) return platform::TableCall{platform::TableAnswer::Filled, capacity};
        if (status == ERROR_BUFFER_OVERFLOW) {
            return platform::TableCall{platform::TableAnswer::TooSmall, length};
        }
        return platform::TableCall{platform::TableAnswer::Failed, 0};
    });
    if (!filled) block.reset();
    return block;
}

}  // namespace

namespace win32 {

ULONG adapterQueryFlags(std::optional<unsigned> majorVersion) {
    return majorVersion && *majorVersion < 6 ? 0 : GAA_FLAG_INCLUDE_GATEWAYS;
}

platform::AddressState stateOnSystem(platform::AddressState state, std::optional<unsigned> majorVersion) {
    const bool older = majorVersion && *majorVersion < 6;
    return older && state != platform::AddressState::Duplicate ? platform::AddressState::Preferred : state;
}

platform::AdapterEntry toEntry(const IP_ADAPTER_ADDRESSES_LH* raw, const OlderLookup& older,
                               bool gatewaysAsked) {
    const Covered<IP_ADAPTER_ADDRESSES_LH> a(raw);
    platform::AdapterEntry entry;
    if (a.holds(a->AdapterName) && a->AdapterName != nullptr) entry.adapterName = a->AdapterName;
    if (a.holds(a->FriendlyName) && a->FriendlyName != nullptr) entry.friendlyName = a->FriendlyName;
    static_assert(sizeof(a->PhysicalAddress) == 8, "physical address field");
    if (a.holds(a->PhysicalAddress)) {
        std::memcpy(entry.physicalAddress.data(), a->PhysicalAddress, entry.physicalAddress.size());
    }
    if (a.holds(a->PhysicalAddressLength)) entry.physicalAddressLength = a->PhysicalAddressLength;

    // Looked up once, and only when something is missing.
    std::optional<const OlderAdapter*> fromOlder;
    const auto olderEntry = [&]() {
        if (!fromOlder) {
            fromOlder = older ? older(entry.adapterName, a.holds(a->IfIndex) ? a->IfIndex : 0) : nullptr;
        }
        return *fromOlder;
    };

    const IP_ADAPTER_UNICAST_ADDRESS_LH* unicast =
        a.holds(a->FirstUnicastAddress) ? a->FirstUnicastAddress : nullptr;
    while (unicast != nullptr) {
        const Covered<IP_ADAPTER_UNICAST_ADDRESS_LH> u(unicast);
        platform::UnicastAddress out;
        if (u.holds(u->Address)) out.address = toIpv4(u->Address);
        out.onLinkPrefixLength = u.holds(u->OnLinkPrefixLength) ? u->OnLinkPrefixLength
                                                                : olderPrefix(olderEntry(), out.address);
        // Every layout has the state, from XP on; only a cut entry lacks it.
        if (u.holds(u->DadState)) out.state = toState(u->DadState);
        entry.unicast.push_back(out);
        unicast = u.holds(u->Next) ? u->Next : nullptr;
    }

    if (a.holds(a->FirstDnsServerAddress)) entry.dnsServers = addressChain(a->FirstDnsServerAddress);
    if (gatewaysAsked && a.holds(a->FirstGatewayAddress)) {
        entry.gateways = addressChain(a->FirstGatewayAddress);
    } else if (const OlderAdapter* o = olderEntry()) {
        entry.gateways.assign(o->gateways.begin(), o->gateways.end());
    }
    return entry;
}

const IP_ADAPTER_ADDRESSES_LH* nextEntry(const IP_ADAPTER_ADDRESSES_LH* raw) {
    const Covered<IP_ADAPTER_ADDRESSES_LH> a(raw);
    return a.holds(a->Next) ? a->Next : nullptr;
}

std::optional<std::vector<OlderAdapter>> queryOlderTable() {
    const auto block = fillTable([](unsigned char* into, ULONG* length) {
        return ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(into), length);
    });
    if (!block) return std::nullopt;

    std::vector<OlderAdapter> table;
    for (const IP_ADAPTER_INFO* i = reinterpret_cast<const IP_ADAPTER_INFO*>(block.get()); i != nullptr;
         i = i->Next) {
        OlderAdapter adapter;
        const char* nameEnd = std::find(std::begin(i->AdapterName), std::end(i->AdapterName), '\0');
        adapter.adapterName.assign(i->AdapterName, nameEnd);
        adapter.index = i->Index;
        for (const IP_ADDR_STRING* g = &i->GatewayList; g != nullptr; g = g->Next) {
            const auto gateway = parseDotted(g->IpAddress);
            if (gateway && !isZero(*gateway)) adapter.gateways.push_back(*gateway);
        }
        for (const IP_ADDR_STRING* s = &i->IpAddressList; s != nullptr; s = s->Next) {
            const auto address = parseDotted(s->IpAddress);
            const auto mask = parseDotted(s->IpMask);
            const auto prefix = mask ? prefixOfMask(*mask) : std::nullopt;
            if (address && !isZero(*address) && prefix) adapter.prefixes.emplace_back(*address, *prefix);
        }
        table.push_back(std::move(adapter));
    }
    return table;
}

const OlderAdapter* findOlder(const std::vector<OlderAdapter>& table, const std::string& adapterName,
                              unsigned long index) {
    for (const OlderAdapter& adapter : table) {
        if (!adapterName.empty() && adapter.adapterName == adapterName) return &adapter;
    }
    for (const OlderAdapter& adapter : table) {
        if (index != 0 && adapter.index == index) return &adapter;
    }
    return nullptr;
}

}  // namespace win32

namespace platform {

std::optional<std::vector<AdapterEntry>> queryAdapters() {
    const ULONG family = AF_INET;
    static const std::optional<unsigned> major = osMajorVersion();
    static const ULONG flags = win32::adapterQueryFlags(major);
    const bool gatewaysAsked = (flags & GAA_FLAG_INCLUDE_GATEWAYS) != 0;
    const auto block = fillTable([&](unsigned char* into, ULONG* length) {
        return ::GetAdaptersAddresses(family, flags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES*>(into), length);
    });
    if (!block) return std::nullopt;

    // Asked at most once per query, and only for entries of the old length.
    bool olderQueried = false;
    std::optional<std::vector<win32::OlderAdapter>> older;
    const win32::OlderLookup lookup = [&](const std::string& name, unsigned long index) {
        if (!olderQueried) older = win32::queryOlderTable();
        olderQueried = true;
        return older ? win32::findOlder(*older, name, index) : nullptr;
    };

    std::vector<AdapterEntry> table;
    for (const auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES_LH*>(block.get()); a != nullptr;
         a = win32::nextEntry(a)) {
        table.push_back(win32::toEntry(a, lookup, gatewaysAsked));
        for (UnicastAddress& unicast : table.back().unicast) unicast.state = win32::stateOnSystem(unicast.state, major);
    }
    return table;
}

}  // namespace platform
