#include "sim/sim.h"

namespace sim {

void reset() {
    resetSystem();
    resetHttp();
    resetCommands();
    resetAdapters();
}

}  // namespace sim
