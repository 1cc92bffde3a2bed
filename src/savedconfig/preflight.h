#pragma once

#include <optional>
#include <string>

// Adds the route to the metadata network through the saved gateway.
// 1 when the route command was run, 0 when there is no usable gateway.
int enableLocalNetwork();

// The saved file's [eth0] GATEWAY when it is an IPv4 address: what the
// route goes through. Reads only.
std::optional<std::wstring> savedGateway();
