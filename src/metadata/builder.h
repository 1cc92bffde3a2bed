#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/adapter_config.h"

// Adds the route to the metadata network again (the driver hands it down).
using RouteStep = void (*)();

// A run is patient: it waits for a service that does not answer yet and asks
// a busy one again. A check of the service's watch is not: anything short of
// a whole and valid answer (any failed request, a busy one included, a
// listing without a single entry, a value that fails its check, an adapter
// left out) gives nothing at once. Both skip an adapter with no address to
// set.
enum class Asking { Run, Check };

// The desired configuration from the metadata service: one record per listed
// adapter except the machine's own and those listed without an address, or
// nothing. An empty list means nothing to configure: the listing names no
// other adapter, or only ones without an address, and none was left out.
// While the service gives no answer at all to the first request, a run asks
// again for a while, the route being added again now and then with `addRoute`
// (when given); a check adds it once with `addRoute` and gives up.
// `leftOut` (when given) counts the listed adapters that were dropped for a
// failed fetch or check, each with a line saying why. A stop asked for
// meanwhile ends it with nothing.
std::unique_ptr<AdapterConfigList> getDesiredConfig(RouteStep addRoute = nullptr,
                                                    std::size_t* leftOut = nullptr,
                                                    Asking asking = Asking::Run);

// Whether the service's adapter listing names the hardware address `mac`
// (one request, never repeated); nothing when it gave no usable listing.
std::optional<bool> adapterListed(const std::uint8_t* mac);
