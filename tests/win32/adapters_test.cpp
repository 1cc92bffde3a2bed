// The real adapter table, read inside a network namespace whose adapters
// adapters_netns.sh made; the script says what to expect through the
// environment. Without it (a plain run of the test program) these skip.
// WinAdapterEntry: the conversion of one entry, fed crafted entries.
#include "platform/win32/adapter_entry.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "adapters/matching.h"
#include "adapters/snapshot.h"
#include "adapters/verify.h"
#include "core/adapter_config.h"
#include "platform/adapters.h"

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

std::vector<std::uint8_t> macBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    for (const std::string& part : split(text, ':')) {
        out.push_back(static_cast<std::uint8_t>(std::strtoul(part.c_str(), nullptr, 16)));
    }
    return out;
}

struct Expected {
    std::vector<std::uint8_t> mac;
    std::wstring name;
    std::vector<std::pair<std::wstring, unsigned>> addresses;  // text, prefix
    std::wstring gateway;
    std::wstring dns;
    std::wstring peerName;
};

bool expectedFromEnvironment(Expected& out) {
    if (env("ADDRSMITH_NETNS_MAC").empty()) return false;
    out.mac = macBytes(env("ADDRSMITH_NETNS_MAC"));
    out.name = wide(env("ADDRSMITH_NETNS_NAME"));
    for (const std::string& item : split(env("ADDRSMITH_NETNS_ADDRESSES"), ',')) {
        const std::size_t slash = item.find('/');
        out.addresses.emplace_back(wide(item.substr(0, slash)),
                                   static_cast<unsigned>(std::atoi(item.c_str() + slash + 1)));
    }
    out.gateway = wide(env("ADDRSMITH_NETNS_GATEWAY"));
    out.dns = wide(env("ADDRSMITH_NETNS_DNS"));
    out.peerName = wide(env("ADDRSMITH_NETNS_PEER"));
    return out.mac.size() == 6;
}

const platform::AdapterEntry* byName(const std::vector<platform::AdapterEntry>& table,
                                     const std::wstring& name) {
    for (const platform::AdapterEntry& entry : table) {
        if (entry.friendlyName == name) return &entry;
    }
    return nullptr;
}

AdapterConfig desiredFor(const Expected& e, const std::wstring& mask, const std::wstring& gateway) {
    AdapterConfig record;
    for (std::size_t i = 0; i < 6; ++i) record.mac[i] = e.mac[i];
    record.ipList = std::make_unique<TextList>();
    // Listed the other way round: the order must not matter.
    for (auto it = e.addresses.rbegin(); it != e.addresses.rend(); ++it) {
        record.ipList->push_back(it->first);
    }
    copyText(record.mask, mask);
    copyText(record.gateway, gateway);
    return record;
}

// Bytes flush against a page the process may not touch: reading one byte
// past them faults.
class BeforeNoAccessPage {
public:
    BeforeNoAccessPage(const void* bytes, std::size_t size) {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        const std::size_t page = info.dwPageSize;
        base_ = static_cast<unsigned char*>(
            ::VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD previous = 0;
        if (base_ == nullptr || !::VirtualProtect(base_ + page, page, PAGE_NOACCESS, &previous)) {
            std::abort();
        }
        data_ = base_ + page - size;
        std::memcpy(data_, bytes, size);
    }
    BeforeNoAccessPage(const BeforeNoAccessPage&) = delete;
    BeforeNoAccessPage& operator=(const BeforeNoAccessPage&) = delete;
    ~BeforeNoAccessPage() { ::VirtualFree(base_, 0, MEM_RELEASE); }
    template <typename T>
    const T* as() const { return reinterpret_cast<const T*>(data_); }

private:
    unsigned char* base_ = nullptr;
    unsigned char* data_ = nullptr;
};

sockaddr_in ipv4Socket(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::memcpy(&in.sin_addr, bytes, 4);
    return in;
}

std::wstring firstGateway(const platform::AdapterEntry& entry) {
    if (entry.gateways.empty() || !entry.gateways[0]) return L"";
    return ipv4ToText(*entry.gateways[0]);
}

}  // namespace

// Entries as systems before version 6 give them: the XP layout, shorter than
// the one the program is built with. Behind the old length lie poison (a
// gateway list and a prefix length that must not be taken), or nothing the
// process may read at all.
TEST(WinAdapterEntry, OldLengthReadsNothingBehindAndTakesTheOlderTable) {
    sockaddr_in address = ipv4Socket(10, 1, 2, 5);
    sockaddr_in poisonGateway = ipv4Socket(203, 0, 113, 66);

    IP_ADAPTER_GATEWAY_ADDRESS_LH gateway{};
    gateway.Length = sizeof gateway;
    gateway.Address = SOCKET_ADDRESS{reinterpret_cast<sockaddr*>(&poisonGateway), sizeof poisonGateway};

    IP_ADAPTER_UNICAST_ADDRESS_LH unicast{};
    unicast.Address = SOCKET_ADDRESS{reinterpret_cast<sockaddr*>(&address), sizeof address};
    unicast.OnLinkPrefixLength = 7;  // poison once the entry is of the old length
    unicast.DadState = IpDadStateDuplicate;  // in the old layout too

    char name[] = "{OLD-ADAPTER}";
    wchar_t friendly[] = L"old one";
    IP_ADAPTER_ADDRESSES_LH adapter{};
    adapter.IfIndex = 7;
    adapter.AdapterName = name;
    adapter.FriendlyName = friendly;
    const unsigned char mac[6] = {0x52, 0x54, 0x00, 0x0a, 0x0b, 0x0c};
    std::memcpy(adapter.PhysicalAddress, mac, 6);
    adapter.PhysicalAddressLength = 6;
    adapter.FirstGatewayAddress = &gateway;

    win32::OlderAdapter older;
    older.adapterName = name;
    older.index = 7;
    older.gateways = {platform::Ipv4{10, 1, 2, 1}};
    older.prefixes = {{platform::Ipv4{10, 1, 2, 5}, 24}};
    std::vector<std::pair<std::string, unsigned long>> asked;
    const win32::OlderLookup lookup = [&](const std::string& n, unsigned long index) {
        asked.emplace_back(n, index);
        return &older;
    };

    // The whole layout: everything from the entry, nothing asked elsewhere.
    adapter.Length = sizeof adapter;
    unicast.Length = sizeof unicast;
    adapter.FirstUnicastAddress = &unicast;
    platform::AdapterEntry entry = win32::toEntry(&adapter, lookup);
    EXPECT_EQ(firstGateway(entry), L"203.0.113.66");
    ASSERT_EQ(entry.unicast.size(), 1u);
    EXPECT_EQ(entry.unicast[0].onLinkPrefixLength, 7u);
    EXPECT_TRUE(asked.empty());

    // Before version 6 the query does not ask for gateways: they come from
    // the older table whatever the entry's length.
    EXPECT_EQ(win32::adapterQueryFlags(5u), 0ul);
    EXPECT_EQ(win32::adapterQueryFlags(6u), static_cast<ULONG>(GAA_FLAG_INCLUDE_GATEWAYS));
    EXPECT_EQ(win32::adapterQueryFlags(std::nullopt), static_cast<ULONG>(GAA_FLAG_INCLUDE_GATEWAYS));
    entry = win32::toEntry(&adapter, lookup, false);
    EXPECT_EQ(firstGateway(entry), L"10.1.2.1");
    EXPECT_EQ(entry.unicast[0].onLinkPrefixLength, 7u);
    asked.clear();

    // The old lengths, poison behind them.
    adapter.Length = sizeof(IP_ADAPTER_ADDRESSES_XP);
    unicast.Length = sizeof(IP_ADAPTER_UNICAST_ADDRESS_XP);
    entry = win32::toEntry(&adapter, lookup);
    EXPECT_EQ(firstGateway(entry), L"10.1.2.1");
    ASSERT_EQ(entry.gateways.size(), 1u);
    ASSERT_EQ(entry.unicast.size(), 1u);
    ASSERT_TRUE(entry.unicast[0].address.has_value());
    EXPECT_EQ(ipv4ToText(*entry.unicast[0].address), L"10.1.2.5");
    EXPECT_EQ(entry.unicast[0].onLinkPrefixLength, 24u);
    EXPECT_EQ(entry.unicast[0].state, platform::AddressState::Duplicate);
    EXPECT_EQ(entry.adapterName, "{OLD-ADAPTER}");
    EXPECT_EQ(entry.friendlyName, L"old one");
    EXPECT_EQ(entry.physicalAddressLength, 6u);
    EXPECT_EQ(entry.physicalAddress[5], 0x0c);
    // Looked up once for the entry, by its name and index.
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], std::make_pair(std::string("{OLD-ADAPTER}"), 7ul));

    // Before version 6 only a duplicate is taken as given.
    EXPECT_EQ(win32::stateOnSystem(platform::AddressState::Duplicate, 5u), platform::AddressState::Duplicate);
    EXPECT_EQ(win32::stateOnSystem(platform::AddressState::Invalid, 5u), platform::AddressState::Preferred);
    EXPECT_EQ(win32::stateOnSystem(platform::AddressState::Tentative, 6u), platform::AddressState::Tentative);
    unicast.Length = offsetof(IP_ADAPTER_UNICAST_ADDRESS_XP, DadState);  // cut before the state
    EXPECT_EQ(win32::toEntry(&adapter, lookup).unicast[0].state, platform::AddressState::Preferred);
    unicast.Length = sizeof(IP_ADAPTER_UNICAST_ADDRESS_XP);

    // The old lengths with nothing readable behind them: a read past either
    // entry faults.
    const BeforeNoAccessPage guardedUnicast(&unicast, sizeof(IP_ADAPTER_UNICAST_ADDRESS_XP));
    adapter.FirstUnicastAddress = const_cast<IP_ADAPTER_UNICAST_ADDRESS_LH*>(
        guardedUnicast.as<IP_ADAPTER_UNICAST_ADDRESS_LH>());
    const BeforeNoAccessPage guardedAdapter(&adapter, sizeof(IP_ADAPTER_ADDRESSES_XP));
    entry = win32::toEntry(guardedAdapter.as<IP_ADAPTER_ADDRESSES_LH>(), lookup);
    EXPECT_EQ(win32::nextEntry(guardedAdapter.as<IP_ADAPTER_ADDRESSES_LH>()), nullptr);
    EXPECT_EQ(firstGateway(entry), L"10.1.2.1");
    ASSERT_EQ(entry.unicast.size(), 1u);
    EXPECT_EQ(entry.unicast[0].onLinkPrefixLength, 24u);

    // An adapter the older table does not know: no gateway, and no prefix
    // the snapshot would turn into a mask.
    const win32::OlderLookup none = [](const std::string&, unsigned long) {
        return static_cast<const win32::OlderAdapter*>(nullptr);
    };
    entry = win32::toEntry(guardedAdapter.as<IP_ADAPTER_ADDRESSES_LH>(), none);
    EXPECT_TRUE(entry.gateways.empty());
    ASSERT_EQ(entry.unicast.size(), 1u);
    EXPECT_EQ(prefixLengthToMask(entry.unicast[0].onLinkPrefixLength), L"");
}

TEST(WinAdapters, TableHoldsTheNamespacesAdaptersAsTheKernelHasThem) {
    Expected e;
    if (!expectedFromEnvironment(e)) GTEST_SKIP() << "run through adapters_netns.sh";

    const auto table = platform::queryAdapters();
    ASSERT_TRUE(table.has_value());

    std::uint8_t mac[6];
    std::memcpy(mac, e.mac.data(), 6);
    const platform::AdapterEntry* adapter = findAdapterByMac(*table, mac);
    ASSERT_NE(adapter, nullptr);
    EXPECT_EQ(adapter->friendlyName, e.name);
    EXPECT_FALSE(adapter->adapterName.empty());
    EXPECT_EQ(adapter->physicalAddressLength, 6u);
    EXPECT_EQ(adapter->physicalAddress[6], 0);  // the whole field is carried
    EXPECT_EQ(adapter->physicalAddress[7], 0);

    ASSERT_EQ(adapter->unicast.size(), e.addresses.size());
    for (std::size_t i = 0; i < e.addresses.size(); ++i) {
        ASSERT_TRUE(adapter->unicast[i].address.has_value());
        EXPECT_EQ(ipv4ToText(*adapter->unicast[i].address), e.addresses[i].first);
        EXPECT_EQ(adapter->unicast[i].onLinkPrefixLength, e.addresses[i].second);
        EXPECT_EQ(adapter->unicast[i].state, platform::AddressState::Preferred);  // all, under Wine
    }
    ASSERT_FALSE(adapter->gateways.empty());
    ASSERT_TRUE(adapter->gateways[0].has_value());
    EXPECT_EQ(ipv4ToText(*adapter->gateways[0]), e.gateway);
    if (!e.dns.empty()) {
        ASSERT_FALSE(adapter->dnsServers.empty());
        ASSERT_TRUE(adapter->dnsServers[0].has_value());
        EXPECT_EQ(ipv4ToText(*adapter->dnsServers[0]), e.dns);
    }

    // The other end of the pair has an address but no default route.
    const platform::AdapterEntry* peer = byName(*table, e.peerName);
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(peer->gateways.empty());
    EXPECT_EQ(peer->unicast.size(), 1u);
}

TEST(WinAdapters, MatchingAndCheckJudgeTheRealAdapter) {
    Expected e;
    if (!expectedFromEnvironment(e)) GTEST_SKIP() << "run through adapters_netns.sh";
    ASSERT_FALSE(e.addresses.empty());
    // The last address's prefix gives the snapshot's mask.
    const std::wstring mask = prefixLengthToMask(e.addresses.back().second);

    AdapterConfigList inEffect;
    inEffect.append(desiredFor(e, mask, e.gateway));
    // Everything is already as desired: the adapter is named, nothing runs.
    EXPECT_EQ(ConfigIpAddresses(inEffect), 0);
    EXPECT_EQ(std::wstring(inEffect[0].adapterName), e.name);
    EXPECT_EQ(verifyCurrentConfig(inEffect), 1);

    AdapterConfigList otherGateway;
    otherGateway.append(desiredFor(e, mask, L"10.255.255.1"));
    EXPECT_EQ(verifyCurrentConfig(otherGateway), 0);

    AdapterConfigList missing;
    missing.append(desiredFor(e, mask, e.gateway));
    missing[0].mac[5] ^= 0xff;  // no adapter has this address
    EXPECT_EQ(verifyCurrentConfig(missing), 0);
}

// What the older table gives, for entries of the old length, agrees with
// what the gateway lists and prefix lengths give here, adapter by adapter.
TEST(WinAdapters, OlderTableAgreesWithTheFullEntries) {
    Expected e;
    if (!expectedFromEnvironment(e)) GTEST_SKIP() << "run through adapters_netns.sh";

    const auto table = platform::queryAdapters();
    const auto older = win32::queryOlderTable();
    ASSERT_TRUE(table.has_value());
    ASSERT_TRUE(older.has_value());

    int compared = 0;
    for (const platform::AdapterEntry& adapter : *table) {
        const win32::OlderAdapter* o = win32::findOlder(*older, adapter.adapterName, 0);
        // The older table leaves the loopback adapter out, as Windows does.
        if (o == nullptr && adapter.physicalAddressLength == 0) continue;
        ASSERT_NE(o, nullptr) << "not in the older table: " << adapter.adapterName;
        ++compared;

        std::vector<std::wstring> fromList, fromOlder;
        for (const auto& gateway : adapter.gateways) fromList.push_back(gateway ? ipv4ToText(*gateway) : L"-");
        for (const auto& gateway : o->gateways) fromOlder.push_back(ipv4ToText(gateway));
        EXPECT_EQ(fromOlder, fromList) << adapter.adapterName;

        for (const platform::UnicastAddress& unicast : adapter.unicast) {
            ASSERT_TRUE(unicast.address.has_value());
            bool found = false;
            for (const auto& [address, prefix] : o->prefixes) {
                if (address != *unicast.address) continue;
                found = true;
                EXPECT_EQ(prefix, unicast.onLinkPrefixLength) << ipv4ToText(address);
            }
            EXPECT_TRUE(found) << ipv4ToText(*unicast.address);
        }
    }
    // The pair: the adapter with the gateway and its peer without one.
    EXPECT_GE(compared, 2);
}
