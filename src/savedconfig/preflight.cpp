// PLACEHOLDER until this area is written; replaced by its real code.
#include "savedconfig/preflight.h"
int enableLocalNetwork() { return 1; }
