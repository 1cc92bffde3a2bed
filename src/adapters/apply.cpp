#include "adapters/apply.h"

#include <cwchar>

#include "core/command_runner.h"
#include "core/run_log.h"
#include "core/settings.h"

namespace {

constexpr std::size_t kCommandSize = 260;

template <std::size_t N>
std::wstring fieldText(const wchar_t (&field)[N]) {
    std::size_t length = 0;
    while (length < N && field[length] != L'\0') ++length;
    return std::wstring(field, length);
}

bool sameMac(const std::uint8_t (&a)[6], const std::uint8_t (&b)[6]) {
    for (std::size_t i = 0; i < 6; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

bool contains(const TextList& list, const std::wstring& text) {
    for (const std::wstring& entry : list) {
        if (entry == text) return true;
    }
    return false;
}

// The first %ls names netsh: c:\windows\system32\netsh.exe on a standard install.
const wchar_t* const kSetLegacy =
    L"%ls interface ip set address name=\"%ls\" static %ls %ls %ls gwmetric=1";
const wchar_t* const kSet = L"%ls interface ip set address name=\"%ls\" static %ls %ls %ls";
const wchar_t* const kAdd = L"%ls interface ip add address name=\"%ls\" %ls %ls";

// The command, or empty when it did not fit the buffer.
std::wstring commandText(const wchar_t (&buffer)[kCommandSize], int written) {
    if (written >= 0 && static_cast<std::size_t>(written) < kCommandSize) return buffer;
    return std::wstring();
}

std::wstring joined(const TextList* list) {
    std::wstring text;
    if (list == nullptr) return text;
    for (const std::wstring& entry : *list) text += (text.empty() ? L"" : L" ") + entry;
    return text;
}

}  // namespace

const wchar_t* unusableAdapterNameReason(const std::wstring& friendlyName) {
    if (friendlyName.empty()) return L"the name is empty";
    if (friendlyName.size() >= sizeof(AdapterConfig::adapterName) / sizeof(wchar_t)) {
        return L"the name has 64 or more characters";
    }
    if (friendlyName.find(L'"') != std::wstring::npos) return L"the name holds a double quote";
    if (friendlyName.back() == L'\\') return L"the name ends in a backslash";
    return nullptr;
}

std::vector<Difference> configDifferences(const AdapterConfig& desired, const AdapterConfigList& current) {
    std::vector<Difference> differences;
    // The newest snapshot of the adapter: matching may have waited minutes
    // for other adapters since its first look at this one.
    const AdapterConfig* found = nullptr;
    for (const AdapterConfig& record : current) {
        if (sameMac(record.mac, desired.mac)) found = &record;
    }
    if (found == nullptr) {
        differences.push_back({L"adapter", L"", L"present"});
        return differences;
    }

    // Texts up to their terminators: whatever an earlier, longer text left
    // behind in a field is not part of the value.
    bool addresses = !desired.ipList || !found->ipList;
    // In effect when the two lists hold the same addresses, in any order and
    // with any repetition.
    for (std::size_t i = 0; !addresses && i < desired.ipList->size(); ++i) {
        addresses = !contains(*found->ipList, (*desired.ipList)[i]);
    }
    for (std::size_t i = 0; !addresses && i < found->ipList->size(); ++i) {
        addresses = !contains(*desired.ipList, (*found->ipList)[i]);
    }
    if (addresses) differences.push_back({L"addresses", joined(found->ipList.get()), joined(desired.ipList.get())});
    if (fieldText(found->mask) != fieldText(desired.mask)) {
        differences.push_back({L"mask", fieldText(found->mask), fieldText(desired.mask)});
    }
    if (fieldText(found->gateway) != fieldText(desired.gateway)) {
        differences.push_back({L"gateway", fieldText(found->gateway), fieldText(desired.gateway)});
    }
    return differences;
}

int ipConfigChanged(const AdapterConfig& desired, const AdapterConfigList& current) {
    return configDifferences(desired, current).empty() ? 0 : 1;
}

AdapterDecision decideAdapterConfig(const AdapterConfig& desired, const AdapterConfigList& current) {
    AdapterDecision decision;
    const std::wstring name = fieldText(desired.adapterName);
    // Matching never hands over such a name; this keeps netsh safe all the same.
    if (const wchar_t* reason = unusableAdapterNameReason(name)) {
        decision.action = AdapterDecision::Action::NotConfigured;
        decision.notConfigured = reason;
        return decision;
    }
    if (!desired.ipList || desired.ipList->empty()) return decision;

    decision.differences = configDifferences(desired, current);
    if (decision.differences.empty()) {
        decision.action = AdapterDecision::Action::InEffect;
        return decision;
    }
    decision.action = AdapterDecision::Action::Change;

    const std::wstring mask = fieldText(desired.mask);
    const std::wstring gateway = fieldText(desired.gateway);
    const TextList& addresses = *desired.ipList;
    const std::wstring netshName = commandLineName(systemProgramPath(L"netsh.exe"));
    wchar_t command[kCommandSize] = {};
    int written = std::swprintf(command, kCommandSize, legacyOs ? kSetLegacy : kSet, netshName.c_str(),
                                name.c_str(), addresses[0].c_str(), mask.c_str(), gateway.c_str());
    decision.commands.push_back(commandText(command, written));
    for (std::size_t i = 1; i < addresses.size(); ++i) {
        written = std::swprintf(command, kCommandSize, kAdd, netshName.c_str(), name.c_str(),
                                addresses[i].c_str(), mask.c_str());
        decision.commands.push_back(commandText(command, written));
    }
    return decision;
}

void setAdapterConfig(const AdapterConfig& desired, const AdapterConfigList& current) {
    const AdapterDecision decision = decideAdapterConfig(desired, current);
    const std::wstring name = fieldText(desired.adapterName);
    switch (decision.action) {
    case AdapterDecision::Action::NotConfigured:
        logWide(L"adapter \"%ls\" not configured: %ls\n", name.c_str(), decision.notConfigured);
        return;
    case AdapterDecision::Action::NothingToSet:
        return;
    case AdapterDecision::Action::InEffect:
        logWide(L"config ip submask gateway is not changed...\n");
        return;
    case AdapterDecision::Action::Change:
        break;
    }

    logWide(L"start set config ip submask gateway...\n");
    const std::wstring netsh = systemProgramPath(L"netsh.exe");
    for (const std::wstring& line : decision.commands) {
        if (line.empty()) {
            logWide(L"netsh command for adapter \"%ls\" is too long, not run\n", name.c_str());
            continue;
        }
        // The system may change the buffer while it parses the command line.
        wchar_t command[kCommandSize] = {};
        copyText(command, line);
        runCommand(netsh, command);
    }
}
