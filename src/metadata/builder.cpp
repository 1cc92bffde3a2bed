// PLACEHOLDER until this area is written; replaced by its real code.
#include "metadata/builder.h"
std::unique_ptr<AdapterConfigList> getDesiredConfig() { return nullptr; }
