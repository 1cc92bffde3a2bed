// The real adapter table, read inside a network namespace whose adapters
// adapters_netns.sh made; the script says what to expect through the
// environment. Without it (a plain run of the test program) these skip.
#include <gtest/gtest.h>

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

}  // namespace

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
