#pragma once

#include "core/adapter_config.h"

// Finds every desired adapter by hardware address (retrying while some are
// missing), names the records and applies their settings. Always 0.
int ConfigIpAddresses(AdapterConfigList& desired);
