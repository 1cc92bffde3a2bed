// PLACEHOLDER until this area is written; replaced by its real code.
#include "platform/process.h"
#include "platform/sim/sim.h"
namespace sim { void resetCommands() {} }
namespace platform { StartResult startHiddenChild(const std::wstring&) { return {}; }
WaitOutcome waitForChild(ChildId, unsigned) { return WaitOutcome::Failed; }
void releaseChild(ChildId) {} }
