#pragma once

#include <cstdint>
#include <string>

#include "core/adapter_config.h"

// Backs up the saved configuration file and records every adapter in it.
// 1 when every record was written, 0 otherwise.
int writeConfigIni(const AdapterConfigList* desired);

// Puts the save's working copy in the place of a saved file that is
// missing, when it holds the [eth0] gateway; logs what it did. 1 when it did.
int restoreSavedFile();

// "52:54:00:AB:CD:EF"
std::wstring macToText(const std::uint8_t* mac);
