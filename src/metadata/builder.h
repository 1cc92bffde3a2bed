#pragma once

#include <cstddef>
#include <memory>

#include "core/adapter_config.h"

// Adds the route to the metadata network again (the driver hands it down).
using RouteStep = void (*)();

// The desired configuration from the metadata service: one record per listed
// adapter except the machine's own, or nothing. A returned list is never empty.
// While the service gives no answer at all to the first request, it is asked
// again for a while, the route being added again now and then with `addRoute`
// (when given). `leftOut` (when given) counts the listed adapters that were
// dropped for a failed fetch or check, each with a line saying why.
std::unique_ptr<AdapterConfigList> getDesiredConfig(RouteStep addRoute = nullptr,
                                                    std::size_t* leftOut = nullptr);
