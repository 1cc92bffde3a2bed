#pragma once

#include "app/adapter_config.h"

// Runs netsh for the record when its settings are not all in effect.
void setAdapterConfig(const AdapterConfig& desired, const AdapterConfigList& current);

// 1 when the desired addresses, mask or gateway are not all in effect
// according to the snapshots in `current`, 0 when they are.
int ipConfigChanged(const AdapterConfig& desired, const AdapterConfigList& current);
