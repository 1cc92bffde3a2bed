#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/adapter_config.h"
#include "platform/adapters.h"

// Whether a tentative address, one the system is still checking for a
// duplicate, counts as in effect. Before applying it does: setting it again
// would only start the check over. After applying it does not yet.
enum class Tentative { InEffect, NotInEffect };

// Appends a record of the adapter's present IPv4 settings to `list`, logging
// what it finds. An address not in effect (duplicate, invalid, and tentative
// when so asked) is logged with its state and leaves the record without an
// address list. An adapter whose first gateway has no address gets no record
// at all.
void getCurrentConfig(const platform::AdapterEntry& adapter, AdapterConfigList& list,
                      Tentative tentative = Tentative::InEffect);

// The first adapter of the table whose physical address starts with the six
// bytes of `mac`, or nullptr. The address length is not looked at: short
// addresses are compared on the field's first six bytes all the same.
const platform::AdapterEntry* findAdapterByMac(const std::vector<platform::AdapterEntry>& table,
                                               const std::uint8_t (&mac)[6]);

// Dotted text of an IPv4 address.
std::wstring ipv4ToText(const platform::Ipv4& address);
// Prefix length to dotted mask text; empty when the length is over 32.
std::wstring prefixLengthToMask(unsigned prefixLength);
