#pragma once

#include <string>

#include "core/adapter_config.h"

// Runs netsh for the record when its settings are not all in effect.
void setAdapterConfig(const AdapterConfig& desired, const AdapterConfigList& current);

// 1 when the desired addresses, mask or gateway are not all in effect
// according to the snapshots in `current`, 0 when they are.
int ipConfigChanged(const AdapterConfig& desired, const AdapterConfigList& current);

// Why a friendly name cannot be handed to netsh between double quotes, or
// nullptr when it can. A name that does not fit adapterName would be cut and
// could then name another adapter; a double quote (or a trailing backslash,
// which escapes the closing quote) would let the name add arguments.
const wchar_t* unusableAdapterNameReason(const std::wstring& friendlyName);
