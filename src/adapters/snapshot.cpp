// PLACEHOLDER until this area is written; replaced by its real code.
#include "adapters/snapshot.h"
void getCurrentConfig(const platform::AdapterEntry&, AdapterConfigList&) {}
std::wstring ipv4ToText(const platform::Ipv4&) { return {}; }
std::wstring prefixLengthToMask(unsigned) { return {}; }
