// PLACEHOLDER until this area is written; replaced by its real code.
#include "adapters/command_runner.h"
void runCommand(wchar_t*) {}
