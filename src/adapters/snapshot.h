#pragma once

#include <string>

#include "app/adapter_config.h"
#include "platform/adapters.h"

// Appends a record of the adapter's present IPv4 settings to `list`, logging
// what it finds.
void getCurrentConfig(const platform::AdapterEntry& adapter, AdapterConfigList& list);

// Dotted text of an IPv4 address.
std::wstring ipv4ToText(const platform::Ipv4& address);
// Prefix length to dotted mask text; empty when the length is over 32.
std::wstring prefixLengthToMask(unsigned prefixLength);
