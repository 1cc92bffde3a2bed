#include "core/settings.h"

#include "core/build_config.h"

int legacyOs = 0;

namespace {
Settings makeDefaults() {
    Settings s;
    s.metadataBaseUrl = kMetadataBaseUrl;
    s.version = kProgramVersion;
    return s;
}
}  // namespace

Settings& settings() {
    static Settings current = makeDefaults();
    return current;
}

void resetSettings() {
    settings() = makeDefaults();
}
