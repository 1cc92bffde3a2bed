#include "app/driver.h"

#include <clocale>
#include <memory>

#include "adapters/matching.h"
#include "adapters/verify.h"
#include "core/run_log.h"
#include "core/settings.h"
#include "metadata/builder.h"
#include "platform/system.h"
#include "savedconfig/preflight.h"
#include "savedconfig/writer.h"

namespace {

// The steps between the stamps; the desired configuration is released by
// the caller's scope before the closing lines.
int runSteps(std::unique_ptr<AdapterConfigList>& desired) {
    if (enableLocalNetwork() == 0) {
        logWide(L"config file error , enable local network fail\n");
        return -1;
    }

    desired = getDesiredConfig();
    if (!desired || desired->empty()) {
        logWide(L"config file error , no configure information\n");
        return -1;
    }

    int result = ConfigIpAddresses(*desired);

    // Nothing is recorded unless every desired setting is really in effect.
    if (verifyCurrentConfig(*desired) == 0) return -1;

    if (writeConfigIni(desired.get()) == 0) {
        logWide(L"config file error , set ip config ini fail\n");
        result = -1;
    }
    return result;
}

}  // namespace

int runConfiguration() {
    platform::redirectOutputToLog(settings().runLog);
    std::setlocale(LC_ALL, "");

    logNarrow("%s", startStamp(platform::localTime()).c_str());
    logWide(L"starting config ip address\n");

    int result;
    {
        std::unique_ptr<AdapterConfigList> desired;
        result = runSteps(desired);
    }  // the desired configuration is released here, before the closing lines

    logWide(L"configure end\n");
    logFlush();
    logNarrow("%s", endStamp(platform::localTime()).c_str());

    platform::restoreConsoleOutput();
    return result;
}

int runEntry() {
    const std::optional<unsigned> major = platform::osMajorVersion();
    if (major && *major < 6) legacyOs = 1;

    if (runConfiguration() == 0) {
        logNarrow("set netcard info success\n");
    } else {
        logNarrow("set netcard info fail, detail log in %ls\n", settings().runLog.c_str());
    }
    logFlush();
    platform::waitForKey();
    return 0;
}
