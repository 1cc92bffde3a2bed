// The stop the service manager asks for: its door sets it, every wait of
// the program ends on it.
#pragma once

#include "platform/win32/win.h"

namespace win32 {

// The manual-reset event a stop sets; nullptr outside the service.
HANDLE stopEvent();
// Makes it, once, before the service's work starts; false when it cannot.
bool createStopEvent();
void signalStop();

}  // namespace win32
