// PLACEHOLDER until this area is written; replaced by its real code.
#include "platform/adapters.h"
namespace platform { std::optional<std::vector<AdapterEntry>> queryAdapters() { return std::nullopt; } }
