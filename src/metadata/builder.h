#pragma once

#include <memory>

#include "core/adapter_config.h"

// The desired configuration from the metadata service: one record per listed
// adapter except the machine's own, or nothing. A returned list is never empty.
std::unique_ptr<AdapterConfigList> getDesiredConfig();
