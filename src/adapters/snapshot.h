#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/adapter_config.h"
#include "platform/adapters.h"

// Appends a record of the adapter's present IPv4 settings to `list`, logging
// what it finds. An adapter whose first gateway has no address gets no
// record at all.
void getCurrentConfig(const platform::AdapterEntry& adapter, AdapterConfigList& list);

// The first adapter of the table whose physical address starts with the six
// bytes of `mac`, or nullptr. The address length is not looked at: short
// addresses are compared on the field's first six bytes all the same.
const platform::AdapterEntry* findAdapterByMac(const std::vector<platform::AdapterEntry>& table,
                                               const std::uint8_t (&mac)[6]);

// Dotted text of an IPv4 address.
std::wstring ipv4ToText(const platform::Ipv4& address);
// Prefix length to dotted mask text; empty when the length is over 32.
std::wstring prefixLengthToMask(unsigned prefixLength);
