#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/adapter_config.h"

// Adds the route to the metadata network again (the driver hands it down).
using RouteStep = void (*)();

// A run is patient: it waits for a service that does not answer yet, asks a
// busy one again, and skips an adapter with no address to set. A check of
// the service's watch is not: anything short of a whole and valid answer
// (any failed request, a busy one included, an empty listing, a value that
// fails its check, an adapter left out) gives nothing at once.
// --plan asks once as a check does (a person waits for it), but goes on
// past an adapter left out, to say what a run would do with each.
enum class Asking { Run, Check, Once };

// A listed adapter a run leaves alone, and why.
struct LeftOutAdapter {
    std::wstring entry;  // as listed
    std::wstring why;
    bool dropped = true;  // false: skipped, having no address to set
};

// What the asking found besides the records.
struct AskingNotes {
    bool listed = false;  // the service gave an adapter listing
    std::vector<LeftOutAdapter> leftOut;  // dropped or with no address to set
};

// The desired configuration from the metadata service: one record per listed
// adapter except the machine's own, or nothing. A returned list is never empty.
// While the service gives no answer at all to the first request, it is asked
// again for a while, the route being added again now and then with `addRoute`
// (when given). `leftOut` (when given) counts the listed adapters that were
// dropped for a failed fetch or check, each with a line saying why. A stop
// asked for meanwhile ends it with nothing.
std::unique_ptr<AdapterConfigList> getDesiredConfig(RouteStep addRoute = nullptr,
                                                    std::size_t* leftOut = nullptr,
                                                    Asking asking = Asking::Run, AskingNotes* notes = nullptr);

// Whether the service's adapter listing names the hardware address `mac`
// (one request, never repeated); nothing when it gave no usable listing.
std::optional<bool> adapterListed(const std::uint8_t* mac);
