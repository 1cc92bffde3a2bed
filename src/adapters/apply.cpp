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

// A command that did not fit the buffer is not run: a cut command line
// could do something other than what was meant.
bool commandFits(wchar_t (&buffer)[kCommandSize], int written, const std::wstring& name) {
    if (written >= 0 && static_cast<std::size_t>(written) < kCommandSize) return true;
    buffer[0] = L'\0';
    logWide(L"netsh command for adapter \"%ls\" is too long, not run\n", name.c_str());
    return false;
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

int ipConfigChanged(const AdapterConfig& desired, const AdapterConfigList& current) {
    // The newest snapshot of the adapter: matching may have waited minutes
    // for other adapters since its first look at this one.
    const AdapterConfig* found = nullptr;
    for (const AdapterConfig& record : current) {
        if (sameMac(record.mac, desired.mac)) found = &record;
    }
    if (found == nullptr) return 1;

    // Texts up to their terminators: whatever an earlier, longer text left
    // behind in a field is not part of the value.
    if (fieldText(found->mask) != fieldText(desired.mask)) return 1;
    if (fieldText(found->gateway) != fieldText(desired.gateway)) return 1;

    if (!desired.ipList || !found->ipList) return 1;
    // In effect when the two lists hold the same addresses, in any order and
    // with any repetition.
    for (const std::wstring& address : *desired.ipList) {
        if (!contains(*found->ipList, address)) return 1;
    }
    for (const std::wstring& address : *found->ipList) {
        if (!contains(*desired.ipList, address)) return 1;
    }
    return 0;
}

void setAdapterConfig(const AdapterConfig& desired, const AdapterConfigList& current) {
    const std::wstring name = fieldText(desired.adapterName);
    // Matching never hands over such a name; this keeps netsh safe all the same.
    if (const wchar_t* reason = unusableAdapterNameReason(name)) {
        logWide(L"adapter \"%ls\" not configured: %ls\n", name.c_str(), reason);
        return;
    }
    if (!desired.ipList || desired.ipList->empty()) return;

    const std::wstring mask = fieldText(desired.mask);
    const std::wstring gateway = fieldText(desired.gateway);
    const TextList& addresses = *desired.ipList;

    const std::wstring netsh = systemProgramPath(L"netsh.exe");
    const std::wstring netshName = commandLineName(netsh);
    wchar_t command[kCommandSize] = {};
    const int setWritten = std::swprintf(command, kCommandSize, legacyOs ? kSetLegacy : kSet,
                                         netshName.c_str(), name.c_str(), addresses[0].c_str(),
                                         mask.c_str(), gateway.c_str());

    if (ipConfigChanged(desired, current) == 0) {
        logWide(L"config ip submask gateway is not changed...\n");
        return;
    }

    logWide(L"start set config ip submask gateway...\n");
    if (commandFits(command, setWritten, name)) runCommand(netsh, command);
    for (std::size_t i = 1; i < addresses.size(); ++i) {
        const int written = std::swprintf(command, kCommandSize, kAdd, netshName.c_str(),
                                          name.c_str(), addresses[i].c_str(), mask.c_str());
        if (commandFits(command, written, name)) runCommand(netsh, command);
    }
}
