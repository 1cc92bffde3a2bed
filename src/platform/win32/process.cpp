// PLACEHOLDER until this area is written; replaced by its real code.
#include "platform/process.h"
namespace platform { StartResult startHiddenChild(const std::wstring&) { return {}; }
WaitOutcome waitForChild(ChildId, unsigned) { return WaitOutcome::Failed; }
void releaseChild(ChildId) {} }
