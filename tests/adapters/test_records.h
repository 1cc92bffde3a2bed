// Building desired records and scripted adapters for the adapter tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/adapter_config.h"
#include "platform/adapters.h"
#include "sim/sim.h"

inline AdapterConfig desiredRecord(const std::vector<std::uint8_t>& mac,
                                   const std::vector<std::wstring>& ips, const std::wstring& mask,
                                   const std::wstring& gateway) {
    AdapterConfig record;
    for (std::size_t i = 0; i < 6 && i < mac.size(); ++i) record.mac[i] = mac[i];
    record.ipList = std::make_unique<TextList>(ips);
    copyText(record.mask, mask);
    copyText(record.gateway, gateway);
    return record;
}

// An adapter with the given addresses (all of one prefix length) and gateway.
inline platform::AdapterEntry adapterWith(const std::wstring& name,
                                          const std::vector<std::uint8_t>& mac,
                                          const std::vector<std::string>& ips,
                                          std::uint8_t prefix, const std::string& gateway) {
    platform::AdapterEntry entry = sim::makeAdapter(name, mac);
    for (const std::string& ip : ips) {
        entry.unicast.push_back(platform::UnicastAddress{sim::ipv4(ip), prefix});
    }
    if (!gateway.empty()) entry.gateways.push_back(sim::ipv4(gateway));
    return entry;
}

// How often `needle` occurs in `haystack`.
inline std::size_t countOf(const std::string& haystack, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++count;
    }
    return count;
}

inline const std::vector<std::uint8_t> kMacA{0x52, 0x54, 0x00, 0xab, 0xcd, 0xef};
inline const std::vector<std::uint8_t> kMacB{0x52, 0x54, 0x00, 0x01, 0x02, 0x03};
inline const std::vector<std::uint8_t> kMacC{0x0a, 0x00, 0x27, 0x00, 0x00, 0x09};

inline const std::wstring kSetPrefix =
    L"c:\\windows\\system32\\netsh.exe interface ip set address name=\"";
inline const std::wstring kAddPrefix =
    L"c:\\windows\\system32\\netsh.exe interface ip add address name=\"";
