#include "sim/sim.h"

namespace sim {

void reset() {
    resetFiles();
    resetSystem();
    resetHttp();
    resetCommands();
    resetAdapters();
}

}  // namespace sim
