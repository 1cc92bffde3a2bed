#include "savedconfig/preflight.h"

#include <cwchar>

#include "core/adapter_config.h"
#include "core/command_runner.h"
#include "core/ipv4_text.h"
#include "core/run_log.h"
#include "core/settings.h"
#include "platform/files.h"
#include "savedconfig/writer.h"

std::optional<std::wstring> savedGateway() {
    wchar_t gateway[1024] = {};
    const platform::ProfileRead read =
        platform::readProfileString(settings().iniFile, L"eth0", L"GATEWAY", L"0", 1024);
    copyText(gateway, read.value);
    // An empty value and a text that is no address (the default "0" among
    // them) both leave the run without a way to the metadata network; the
    // driver says so.
    if (read.count == 0) return std::nullopt;
    if (checkIpAddr(gateway) == 0) return std::nullopt;
    return std::wstring(gateway);
}

int enableLocalNetwork() {
    const std::wstring& iniFile = settings().iniFile;
    restoreSavedFile();  // after a run stopped in the middle of its save
    if (!platform::fileExists(iniFile)) {
        logWide(L"config file not exist\n");
        return 0;
    }

    const std::optional<std::wstring> gateway = savedGateway();
    if (!gateway) return 0;

    wchar_t command[260] = {};
    std::swprintf(command, 260, L"route add 169.254.0.0 mask 255.255.128.0 %ls", gateway->c_str());
    // Whatever route makes of it (the route may well exist already), the
    // fetch that follows is the real test. The command line names route as
    // it always has; what starts is the system's own.
    runCommand(systemProgramPath(L"route.exe"), command);
    return 1;
}
