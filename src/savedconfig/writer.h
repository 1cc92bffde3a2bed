#pragma once

#include <cstdint>
#include <string>

#include "core/adapter_config.h"

// Backs up the saved configuration file and records every adapter in it.
// 1 when every record was written, 0 otherwise.
int writeConfigIni(const AdapterConfigList* desired);

// "52:54:00:AB:CD:EF"
std::wstring macToText(const std::uint8_t* mac);
