#pragma once

#include "core/adapter_config.h"

// 1 when every desired record is in effect on its adapter, else 0.
int verifyCurrentConfig(const AdapterConfigList& desired);
