// PLACEHOLDER until this area is written; replaced by its real code.
#include "savedconfig/writer.h"
int writeConfigIni(const AdapterConfigList*) { return 0; }
std::wstring macToText(const std::uint8_t*) { return {}; }
