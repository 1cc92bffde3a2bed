// PLACEHOLDER until this area is written; replaced by its real code.
#include "adapters/apply.h"
void setAdapterConfig(const AdapterConfig&, const AdapterConfigList&) {}
int ipConfigChanged(const AdapterConfig&, const AdapterConfigList&) { return 1; }
