// PLACEHOLDER until this area is written; replaced by its real code.
#include "platform/adapters.h"
#include "platform/sim/sim.h"
namespace sim { void resetAdapters() {} }
namespace platform { std::optional<std::vector<AdapterEntry>> queryAdapters() { return std::nullopt; } }
