#include "app/entry.h"

#include "app/driver.h"
#include "app/watch.h"
#include "core/run_log.h"
#include "core/settings.h"
#include "platform/service.h"
#include "platform/system.h"

namespace {

constexpr wchar_t kServiceName[] = L"addrsmith";
constexpr unsigned kDefaultIntervalSeconds = 60;
constexpr unsigned kShortestIntervalSeconds = 5;
constexpr unsigned kLongestIntervalSeconds = 3600;
// How long --remove-service waits for the service to end: longer than a
// run takes to end at its next step after a stop.
constexpr unsigned kRemoveWaitMilliseconds = 60000;

// Windows error codes the messages explain.
constexpr unsigned long kAccessDenied = 5;
constexpr unsigned long kServiceDoesNotExist = 1060;
constexpr unsigned long kServiceMarkedForDelete = 1072;

std::wstring widen(const std::string& text) {
    std::wstring wide;
    for (const char c : text) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

std::string lowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::optional<unsigned> parseSeconds(const std::string& text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < kShortestIntervalSeconds || value > kLongestIntervalSeconds) return std::nullopt;
    return value;
}

CommandLine invalid(const std::wstring& error) {
    CommandLine line;
    line.command = Command::Invalid;
    line.error = error;
    return line;
}

void printHelp() {
    logWide(L"addrsmith %ls: the static IPv4 settings of this machine's additional network adapters, "
            L"as the cloud platform's instance-metadata service lists them\n",
            settings().version.c_str());
    logWide(L"  addrsmith.exe: one run, as at every boot (the closing line, then a key)\n");
    logWide(L"  addrsmith.exe --install-service [--interval S]: installs the service \"addrsmith\": a run at every "
            L"start, then adapters attached later and changed addresses applied, the metadata service "
            L"asked every S seconds (%u to %u, default %u); it starts at the next boot, or with: "
            L"sc start addrsmith. Installed already, it is updated in place (the interval, say), which a "
            L"running service takes up when it next starts. Only from a folder that only SYSTEM, "
            L"Administrators and TrustedInstaller can change\n",
            kShortestIntervalSeconds, kLongestIntervalSeconds, kDefaultIntervalSeconds);
    logWide(L"  addrsmith.exe --remove-service: stops the service and removes it\n");
    logWide(L"  addrsmith.exe --help, /?: this text\n");
    logWide(L"Run log: %ls. Use the service or a start-up task, not both. Installing and removing need an "
            L"elevated prompt.\n",
            settings().runLog.c_str());
}

int installService(std::optional<unsigned> intervalSeconds) {
    const std::optional<std::wstring> path = platform::executablePath();
    if (!path) {
        logWide(L"service addrsmith not installed: the program's own path is unknown\n");
        return 1;
    }
    // The manager starts what is there as the system account at every boot:
    // an account that could change the program, or put a library beside it,
    // would run its own code as that.
    const std::wstring folder = path->substr(0, path->find_last_of(L'\\'));
    for (const std::wstring& place : {folder, *path}) {
        if (!platform::onlyTrustedMayChange(place)) {
            logWide(L"service addrsmith not installed: %ls can be changed by an account other than SYSTEM, "
                    L"Administrators or TrustedInstaller, which would then run its own code as SYSTEM; install "
                    L"from a folder only they can change, such as C:\\Program Files\\addrsmith\n",
                    place.c_str());
            return 2;
        }
    }
    platform::ServiceDefinition definition;
    definition.name = kServiceName;
    definition.displayName = L"addrsmith";
    definition.description =
        L"Sets the static IPv4 addresses, mask and gateway of the machine's additional network adapters "
        L"from the cloud platform's instance-metadata service: at start, and whenever an adapter is "
        L"attached or the metadata changes.";
    definition.commandLine = serviceCommandLine(*path, intervalSeconds);
    const platform::InstallResult result = platform::installService(definition);
    if (result.errorCode == 0 && result.updated) {
        logWide(L"service addrsmith updated (a running service goes on as it was until it next starts: "
                L"sc stop addrsmith, then sc start addrsmith, or the next boot): %ls\n",
                definition.commandLine.c_str());
        return 0;
    }
    if (result.errorCode == 0) {
        logWide(L"service addrsmith installed (starts at the next boot, or now with: sc start addrsmith): %ls\n",
                definition.commandLine.c_str());
        return 0;
    }
    const unsigned long error = result.errorCode;
    const wchar_t* why = error == kAccessDenied ? L"run it from an elevated prompt"
                         : error == kServiceMarkedForDelete
                             ? L"the one removed last still runs; try again once it has stopped"
                             : L"the service manager refused";
    logWide(L"service addrsmith not %ls: %ls (error %lu)\n", result.updated ? L"updated" : L"installed", why,
            error);
    return 1;
}

int removeService() {
    const platform::RemoveResult removed = platform::removeService(kServiceName, kRemoveWaitMilliseconds);
    if (removed.errorCode != 0) {
        const unsigned long error = removed.errorCode;
        const wchar_t* why = error == kAccessDenied            ? L"run it from an elevated prompt"
                             : error == kServiceDoesNotExist    ? L"it is not installed"
                             : error == kServiceMarkedForDelete ? L"it is being removed already"
                                                               : L"the service manager refused";
        logWide(L"service addrsmith not removed: %ls (error %lu)\n", why, error);
        return 1;
    }
    if (!removed.stopped) {
        logWide(L"service addrsmith removed, but still running after %u s: it goes once it has stopped\n",
                kRemoveWaitMilliseconds / 1000u);
        return 1;
    }
    logWide(L"service addrsmith stopped and removed\n");
    return 0;
}

int runService(std::optional<unsigned> intervalSeconds) {
    prepareProcess();
    const unsigned interval = intervalSeconds.value_or(kDefaultIntervalSeconds);
    const unsigned long error =
        platform::runAsService(kServiceName, [interval] { return watchForChanges(interval); });
    if (error == 0) return 0;
    logWide(L"--service is for the service manager; start the service with: sc start addrsmith (error %lu)\n",
            error);
    return 1;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    bool intervalGiven = false;
    std::string intervalText;
    std::vector<std::string> others;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string argument = lowerAscii(arguments[i]);
        Command named = Command::Run;
        if (argument == "--help" || argument == "/?" || argument == "-h") return CommandLine{Command::Help, {}, {}};
        if (argument == "--install-service") named = Command::InstallService;
        if (argument == "--remove-service") named = Command::RemoveService;
        if (argument == "--service") named = Command::Service;
        if (named != Command::Run) {
            if (line.command != Command::Run && line.command != named) {
                return invalid(L"--install-service, --remove-service and --service go alone (see --help)");
            }
            line.command = named;
        } else if (argument == "--interval") {
            intervalGiven = true;
            intervalText = i + 1 < arguments.size() ? arguments[++i] : std::string();
        } else {
            others.push_back(arguments[i]);
        }
    }
    // Anything else is no business of ours: the run of every boot.
    if (line.command == Command::Run) return line;
    if (!others.empty()) return invalid(L"unknown argument \"" + widen(others.front()) + L"\" (see --help)");
    if (intervalGiven) {
        if (line.command == Command::RemoveService) return invalid(L"--remove-service takes no --interval");
        line.intervalSeconds = parseSeconds(intervalText);
        if (!line.intervalSeconds) {
            return invalid(L"--interval takes a whole number of seconds from 5 to 3600, not \"" +
                           widen(intervalText) + L"\"");
        }
    }
    return line;
}

std::wstring serviceCommandLine(const std::wstring& programPath, std::optional<unsigned> intervalSeconds) {
    std::wstring line = L"\"" + programPath + L"\" --service";
    if (intervalSeconds) line += L" --interval " + std::to_wstring(*intervalSeconds);
    return line;
}

int programMain(const std::vector<std::string>& arguments) {
    const CommandLine line = parseCommandLine(arguments);
    switch (line.command) {
    case Command::Run:
        return runEntry();
    case Command::Help:
        printHelp();
        return 0;
    case Command::InstallService:
        platform::removeCurrentDirectoryFromDllSearch();
        return installService(line.intervalSeconds);
    case Command::RemoveService:
        platform::removeCurrentDirectoryFromDllSearch();
        return removeService();
    case Command::Service:
        return runService(line.intervalSeconds);
    case Command::Invalid:
        break;
    }
    logWide(L"%ls\n", line.error.c_str());
    return 2;
}
