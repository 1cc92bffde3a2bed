#pragma once

#include <string>
#include <vector>

#include "core/adapter_config.h"

// One setting of an adapter that is not as the metadata asks.
struct Difference {
    std::wstring setting;  // "addresses", "mask", "gateway", or "adapter" when it has no snapshot
    std::wstring now;      // as the adapter has it; empty when it has none
    std::wstring wanted;
};

// What a run does with one named record, decided without doing anything:
// the run gives exactly these commands, and --plan prints them.
struct AdapterDecision {
    enum class Action { NotConfigured, NothingToSet, InEffect, Change } action = Action::NothingToSet;
    const wchar_t* notConfigured = nullptr;  // with NotConfigured: why
    std::vector<Difference> differences;
    // With Change, in order. An empty one did not fit a command line and is
    // not run: a cut command line could do something other than what was meant.
    std::vector<std::wstring> commands;
};

AdapterDecision decideAdapterConfig(const AdapterConfig& desired, const AdapterConfigList& current);

// Runs netsh for the record when its settings are not all in effect.
void setAdapterConfig(const AdapterConfig& desired, const AdapterConfigList& current);

// What differs between the desired record and the newest snapshot of its
// adapter in `current`; empty when everything is in effect.
std::vector<Difference> configDifferences(const AdapterConfig& desired, const AdapterConfigList& current);

// 1 when the desired addresses, mask or gateway are not all in effect
// according to the snapshots in `current`, 0 when they are.
int ipConfigChanged(const AdapterConfig& desired, const AdapterConfigList& current);

// Why a friendly name cannot be handed to netsh between double quotes, or
// nullptr when it can. A name that does not fit adapterName would be cut and
// could then name another adapter; a double quote (or a trailing backslash,
// which escapes the closing quote) would let the name add arguments.
const wchar_t* unusableAdapterNameReason(const std::wstring& friendlyName);
