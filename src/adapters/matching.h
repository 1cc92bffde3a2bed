#pragma once

#include <string>
#include <vector>

#include "adapters/apply.h"
#include "core/adapter_config.h"
#include "platform/adapters.h"

// Finds every desired adapter by hardware address (retrying while some are
// missing), names the records and applies their settings. Always 0.
int ConfigIpAddresses(AdapterConfigList& desired);

// What a run would do with one desired record.
struct AdapterPlan {
    std::wstring name;                 // its adapter's name; empty when not in the table
    const wchar_t* leftOut = nullptr;  // why a run leaves it out, or nullptr
    AdapterDecision decision;          // without leftOut: what a run gives
};

// One plan per desired record, in order, from one look at `table`: no wait
// for a missing adapter and nothing applied. Names the records as a run does.
std::vector<AdapterPlan> planConfigIpAddresses(AdapterConfigList& desired,
                                               const std::vector<platform::AdapterEntry>& table);
