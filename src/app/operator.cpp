#include "app/operator.h"

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Header-only; built without exceptions (a misuse ends the program), and
// every text it is given is valid UTF-8 from wideToUtf8.
#define JSON_NOEXCEPTION 1
#include <nlohmann/json.hpp>

#include "adapters/apply.h"
#include "adapters/matching.h"
#include "app/entry.h"
#include "core/run_log.h"
#include "core/settings.h"
#include "metadata/builder.h"
#include "platform/adapters.h"
#include "platform/files.h"
#include "platform/service.h"
#include "platform/system.h"
#include "savedconfig/preflight.h"

namespace {

using Json = nlohmann::ordered_json;

// The JSON objects' layout; raised whenever a field changes meaning or goes.
constexpr int kJsonFormat = 1;

constexpr wchar_t kSection[] = L"last run";

std::string utf8(const std::wstring& text) { return wideToUtf8(text); }

void printJson(const Json& object) {
    // UTF-8 as it is: narrow text is written byte for byte.
    const std::string text = object.dump(2, ' ', false, Json::error_handler_t::replace);
    logNarrow("%s\n", text.c_str());
    logFlush();
}

const wchar_t* reasonText(RunReason reason) {
    switch (reason) {
    case RunReason::Console:
        // A start-up task runs as the system account; an administrator at a
        // prompt does not (the service never has this reason).
        return platform::runsAsSystemAccount() ? L"boot" : L"by hand";
    case RunReason::ServiceStarted:
        return L"service start";
    case RunReason::AdapterAppeared:
        return L"adapter attached";
    case RunReason::MetadataChanged:
        return L"metadata changed";
    case RunReason::AgainAfterFailure:
        return L"retry";
    }
    return L"";
}

const wchar_t* outcomeText(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Succeeded:
        return L"succeeded";
    case RunOutcome::NothingToConfigure:
        return L"nothing to configure";
    case RunOutcome::Failed:
        return L"failed";
    case RunOutcome::Stopped:
        return L"stopped before the end";
    }
    return L"";
}

std::wstring timeText(const platform::LocalTime& t) {
    wchar_t text[32] = {};
    std::swprintf(text, 32, L"%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return text;
}

// cppcheck does not follow the members' use through std::optional.
struct LastRun {
    std::wstring time;         // cppcheck-suppress unusedStructMember
    std::wstring reason;       // cppcheck-suppress unusedStructMember
    std::wstring outcome;
    std::wstring closingLine;  // cppcheck-suppress unusedStructMember
};

std::optional<LastRun> readLastRun() {
    const std::wstring& file = settings().lastRunFile;
    if (!platform::fileExists(file)) return std::nullopt;
    auto read = [&](const wchar_t* key) { return platform::readProfileString(file, kSection, key, L"", 2048).value; };
    LastRun run{read(L"time"), read(L"reason"), read(L"outcome"), read(L"closing line")};
    if (run.outcome.empty()) return std::nullopt;
    return run;
}

const wchar_t* serviceStateText(platform::ServiceState state) {
    switch (state) {
    case platform::ServiceState::NotInstalled:
        return L"not installed";
    case platform::ServiceState::Stopped:
        return L"stopped";
    case platform::ServiceState::Starting:
        return L"starting";
    case platform::ServiceState::Running:
        return L"running";
    case platform::ServiceState::Stopping:
        return L"stopping";
    case platform::ServiceState::Other:
        return L"paused";
    case platform::ServiceState::Unknown:
        break;
    }
    return L"unknown";
}

}  // namespace

void recordLastRun(RunReason reason, RunOutcome outcome, const std::wstring& closingLine) {
    const std::wstring& file = settings().lastRunFile;
    // Written whole beside the file, then moved over it: a run killed
    // meanwhile leaves the record of the run before, never half of each.
    const std::wstring fresh = file + L".new";
    platform::removeFile(fresh);
    const bool written = platform::writeProfileString(fresh, kSection, L"time", timeText(platform::localTime())) &&
                         platform::writeProfileString(fresh, kSection, L"reason", reasonText(reason)) &&
                         platform::writeProfileString(fresh, kSection, L"outcome", outcomeText(outcome)) &&
                         platform::writeProfileString(fresh, kSection, L"closing line", closingLine);
    platform::flushProfileWrites(fresh);
    const unsigned long error = written ? platform::moveFileOver(fresh, file) : 0;
    if (!written || error != 0) {
        logWide(L"last run not recorded in %ls (error %lu)\n", file.c_str(), error);
        logFlush();
    }
}

int showStatus(bool json) {
    std::setlocale(LC_ALL, "");
    const Settings& s = settings();
    const std::wstring path = platform::executablePath().value_or(std::wstring());
    const platform::ServiceQuery service = platform::queryService(L"addrsmith");
    const bool installed = service.state != platform::ServiceState::NotInstalled &&
                           service.state != platform::ServiceState::Unknown;
    const unsigned interval = installed ? serviceIntervalSeconds(service.commandLine) : 0;
    const std::optional<LastRun> last = readLastRun();
    const int status = last && (last->outcome == outcomeText(RunOutcome::Succeeded) ||
                                last->outcome == outcomeText(RunOutcome::NothingToConfigure))
                           ? 0
                           : 1;

    if (json) {
        Json object;
        object["format"] = kJsonFormat;
        object["version"] = utf8(s.version);
        object["path"] = utf8(path);
        Json svc;
        svc["state"] = utf8(serviceStateText(service.state));
        svc["interval_seconds"] = installed ? Json(interval) : Json(nullptr);
        svc["error"] = service.state == platform::ServiceState::Unknown ? Json(service.errorCode) : Json(nullptr);
        object["service"] = svc;
        object["last_run_file"] = utf8(s.lastRunFile);
        if (last) {
            object["last_run"] = {{"time", utf8(last->time)},
                                  {"reason", utf8(last->reason)},
                                  {"outcome", utf8(last->outcome)},
                                  {"closing_line", utf8(last->closingLine)}};
        } else {
            object["last_run"] = nullptr;
        }
        object["exit_status"] = status;
        printJson(object);
        return status;
    }

    logWide(L"addrsmith %ls: %ls\n", s.version.c_str(), path.c_str());
    if (installed) {
        logWide(L"service: %ls, interval %u s\n", serviceStateText(service.state), interval);
    } else if (service.state == platform::ServiceState::NotInstalled) {
        logWide(L"service: not installed\n");
    } else {
        logWide(L"service: unknown (error %lu)\n", service.errorCode);
    }
    if (last) {
        logWide(L"last run: %ls, %ls, %ls\n", last->time.c_str(), last->reason.c_str(), last->outcome.c_str());
        logWide(L"closing line: %ls\n", last->closingLine.c_str());
    } else {
        logWide(L"last run: none recorded in %ls\n", s.lastRunFile.c_str());
    }
    logFlush();
    return status;
}

namespace {

// Everything a plan found, gathered before anything is printed.
struct Plan {
    bool answered = false;
    std::string whyNot;  // without an answer: the last line asking gave
    std::optional<std::wstring> routeGateway;
    std::unique_ptr<AdapterConfigList> desired;
    std::vector<AdapterPlan> adapters;  // one per desired record
    AskingNotes notes;
    bool tableRead = true;
    unsigned changes = 0, inEffect = 0, leftOut = 0;  // of the listed adapters
};

Json textList(const TextList* list) {
    Json array = Json::array();
    if (list != nullptr) {
        for (const std::wstring& entry : *list) array.push_back(utf8(entry));
    }
    return array;
}

std::wstring joined(const TextList* list) {
    std::wstring text;
    if (list == nullptr) return text;
    for (const std::wstring& entry : *list) text += (text.empty() ? L"" : L" ") + entry;
    return text;
}

int planStatus(const Plan& plan) {
    if (!plan.answered || !plan.tableRead) return 3;
    // A run with no route gateway ends before it asks anything.
    return plan.changes + plan.leftOut > 0 || !plan.routeGateway ? 1 : 0;
}

void printPlanJson(const Plan& plan) {
    Json object;
    object["format"] = kJsonFormat;
    object["metadata_answered"] = plan.answered;
    object["why_not"] = plan.answered ? Json(nullptr) : Json(plan.whyNot);
    object["adapter_table_read"] = plan.tableRead;
    object["route_gateway"] = plan.routeGateway ? Json(utf8(*plan.routeGateway)) : Json(nullptr);
    Json adapters = Json::array();
    Json leftOut = Json::array();
    for (std::size_t i = 0; plan.desired && i < plan.adapters.size(); ++i) {
        const AdapterConfig& record = (*plan.desired)[i];
        const AdapterPlan& adapter = plan.adapters[i];
        Json entry;
        entry["mac"] = utf8(hardwareAddressText(record.mac, L':'));
        entry["name"] = adapter.name.empty() ? Json(nullptr) : Json(utf8(adapter.name));
        if (adapter.leftOut != nullptr) {
            entry["why"] = utf8(adapter.leftOut);
            leftOut.push_back(entry);
            continue;
        }
        entry["settings"] = {{"addresses", textList(record.ipList.get())},
                             {"mask", utf8(record.mask)},
                             {"gateway", utf8(record.gateway)}};
        entry["in_effect"] = adapter.decision.action == AdapterDecision::Action::InEffect;
        Json differences = Json::array();
        for (const Difference& d : adapter.decision.differences) {
            differences.push_back({{"setting", utf8(d.setting)}, {"now", utf8(d.now)}, {"wanted", utf8(d.wanted)}});
        }
        entry["differences"] = differences;
        Json commands = Json::array();
        for (const std::wstring& command : adapter.decision.commands) {
            commands.push_back(command.empty() ? Json(nullptr) : Json(utf8(command)));
        }
        entry["commands"] = commands;
        adapters.push_back(entry);
    }
    for (const LeftOutAdapter& skipped : plan.notes.leftOut) {
        leftOut.push_back({{"mac", utf8(skipped.entry)}, {"name", nullptr}, {"why", utf8(skipped.why)}});
    }
    object["adapters"] = adapters;
    object["left_out"] = leftOut;
    object["exit_status"] = planStatus(plan);
    printJson(object);
}

void printPlanText(const Plan& plan) {
    for (std::size_t i = 0; plan.desired && i < plan.adapters.size(); ++i) {
        const AdapterConfig& record = (*plan.desired)[i];
        const AdapterPlan& adapter = plan.adapters[i];
        // The name in double quotes, as netsh is given it.
        const std::wstring mac =
            hardwareAddressText(record.mac, L':') + (adapter.name.empty() ? L"" : L" \"" + adapter.name + L"\"");
        if (adapter.leftOut != nullptr) {
            logWide(L"left out: %ls: %ls\n", mac.c_str(), adapter.leftOut);
            continue;
        }
        logWide(L"adapter %ls: addresses %ls, mask %ls, gateway %ls\n", mac.c_str(),
                joined(record.ipList.get()).c_str(), record.mask, record.gateway);
        if (adapter.decision.action == AdapterDecision::Action::InEffect) {
            logWide(L"  in effect\n");
            continue;
        }
        for (const Difference& d : adapter.decision.differences) {
            logWide(L"  not in effect: %ls %ls, wanted %ls\n", d.setting.c_str(),
                    d.now.empty() ? L"(none)" : d.now.c_str(), d.wanted.c_str());
        }
        for (const std::wstring& command : adapter.decision.commands) {
            if (command.empty()) {
                logWide(L"  a command too long for netsh, which a run does not give\n");
            } else {
                logWide(L"  %ls\n", command.c_str());
            }
        }
    }
    for (const LeftOutAdapter& skipped : plan.notes.leftOut) {
        logWide(L"left out: %ls: %ls\n", skipped.entry.c_str(), skipped.why.c_str());
    }
    if (plan.routeGateway) {
        logWide(L"route to the metadata service: a run adds it through %ls\n", plan.routeGateway->c_str());
    } else {
        logWide(L"route to the metadata service: %ls gives no [eth0] GATEWAY, so a run ends before asking\n",
                settings().iniFile.c_str());
    }
    if (!plan.tableRead) logWide(L"cannot tell: the adapter table could not be read\n");
    if (!plan.answered) logNarrow("cannot tell: %s\n", plan.whyNot.c_str());
    if (plan.answered && plan.tableRead) {
        logWide(L"plan: %u to change, %u in effect, %u left out\n", plan.changes, plan.inEffect, plan.leftOut);
    }
    logFlush();
}

}  // namespace

int showPlan(bool json) {
    std::setlocale(LC_ALL, "");
    Plan plan;
    plan.routeGateway = savedGateway();
    {
        // What asking and looking log is the run's, not the plan's.
        const QuietLog quiet;
        plan.desired = getDesiredConfig(nullptr, nullptr, Asking::Once, &plan.notes);
        plan.answered = plan.notes.listed;
        plan.whyNot = quiet.lastLine();
        if (plan.desired) {
            const std::optional<std::vector<platform::AdapterEntry>> table = platform::queryAdapters();
            plan.tableRead = table.has_value();
            if (table) plan.adapters = planConfigIpAddresses(*plan.desired, *table);
        }
    }
    for (const AdapterPlan& adapter : plan.adapters) {
        if (adapter.leftOut != nullptr || adapter.decision.action == AdapterDecision::Action::NotConfigured) {
            ++plan.leftOut;
        } else if (adapter.decision.action == AdapterDecision::Action::Change) {
            ++plan.changes;
        } else {
            ++plan.inEffect;
        }
    }
    for (const LeftOutAdapter& skipped : plan.notes.leftOut) {
        if (skipped.dropped) ++plan.leftOut;
    }
    if (json) {
        printPlanJson(plan);
    } else {
        printPlanText(plan);
    }
    return planStatus(plan);
}
