// The simulated adapter table and the simulated netsh that changes it.
// Tests script which adapters each query sees; netsh set-address and
// add-address commands change the adapters as the real command would.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "platform/adapters.h"
#include "sim/sim.h"

namespace {

struct AdapterState {
    std::vector<platform::AdapterEntry> table;
    // Adapters that join the table at their query.
    std::vector<std::pair<unsigned, platform::AdapterEntry>> arrivals;
    std::vector<std::pair<unsigned, std::wstring>> departures;
    struct Detection {
        platform::AddressState first, then;
        std::uint64_t after = 0;
        std::uint64_t thenFrom = UINT64_MAX;  // until netsh sets it: never
    };
    std::map<platform::Ipv4, Detection> detections;
    unsigned failingQuery = 0;
    unsigned queries = 0;
    bool netshApplies = true;
};

AdapterState& state() {
    static AdapterState s;
    return s;
}

// Strict dotted-decimal parse: four parts of 1 to 3 digits, each 0 to 255.
std::optional<platform::Ipv4> parseIpv4(const std::wstring& text) {
    platform::Ipv4 out{};
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != L'.') return std::nullopt;
            ++pos;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[pos] - L'0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
        out[static_cast<std::size_t>(part)] = static_cast<std::uint8_t>(value);
    }
    if (pos != text.size()) return std::nullopt;
    return out;
}

// A mask's prefix length; nothing for a mask that is not a run of ones.
std::optional<std::uint8_t> maskToPrefix(const platform::Ipv4& mask) {
    std::uint32_t bits = 0;
    for (std::uint8_t b : mask) bits = (bits << 8) | b;
    std::uint8_t length = 0;
    while (length < 32 && (bits & (0x80000000u >> length)) != 0) ++length;
    const std::uint32_t expected = length == 0 ? 0u : ~std::uint32_t(0) << (32 - length);
    if (bits != expected) return std::nullopt;
    return length;
}

std::vector<std::wstring> splitBlanks(const std::wstring& text) {
    std::vector<std::wstring> words;
    std::size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && text[pos] == L' ') ++pos;
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] != L' ') ++pos;
        if (pos > start) words.push_back(text.substr(start, pos - start));
    }
    return words;
}

// An address as netsh leaves it: its detection starts now.
platform::UnicastAddress setByNetsh(const platform::Ipv4& ip, std::uint8_t prefix) {
    const auto it = state().detections.find(ip);
    if (it == state().detections.end()) return {ip, prefix};
    it->second.thenFrom = sim::nowMilliseconds() + it->second.after;
    return {ip, prefix, it->second.first};
}

void applySet(const std::wstring& name, const std::vector<std::wstring>& args) {
    // static IP MASK GW [gwmetric=1]
    std::vector<std::wstring> words = args;
    if (!words.empty() && words.back() == L"gwmetric=1") words.pop_back();
    // Without a gateway the adapter is left with none.
    if ((words.size() != 3 && words.size() != 4) || words[0] != L"static") return;
    const auto ip = parseIpv4(words[1]);
    const auto mask = parseIpv4(words[2]);
    std::optional<platform::Ipv4> gateway;
    if (words.size() == 4) {
        gateway = parseIpv4(words[3]);
        if (!gateway) return;
    }
    if (!ip || !mask) return;
    const auto prefix = maskToPrefix(*mask);
    if (!prefix) return;
    for (platform::AdapterEntry& adapter : state().table) {
        if (adapter.friendlyName != name) continue;
        adapter.unicast = {setByNetsh(*ip, *prefix)};
        adapter.gateways.clear();
        if (gateway) adapter.gateways.push_back(gateway);
    }
}

void applyAdd(const std::wstring& name, const std::vector<std::wstring>& args) {
    // IP MASK
    if (args.size() != 2) return;
    const auto ip = parseIpv4(args[0]);
    const auto mask = parseIpv4(args[1]);
    if (!ip || !mask) return;
    const auto prefix = maskToPrefix(*mask);
    if (!prefix) return;
    for (platform::AdapterEntry& adapter : state().table) {
        if (adapter.friendlyName != name) continue;
        adapter.unicast.push_back(setByNetsh(*ip, *prefix));
    }
}

}  // namespace

namespace sim {

void resetAdapters() { state() = AdapterState(); }

void setAdapters(std::vector<platform::AdapterEntry> adapters) {
    state().table = std::move(adapters);
}

void addAdapterFromQuery(unsigned queryNumber, platform::AdapterEntry adapter) {
    state().arrivals.emplace_back(queryNumber, std::move(adapter));
}

void addAdapterAtTime(std::uint64_t milliseconds, platform::AdapterEntry adapter) {
    at(milliseconds, [adapter] { state().table.push_back(adapter); });
}

void removeAdapterFromQuery(unsigned queryNumber, const std::wstring& friendlyName) {
    state().departures.emplace_back(queryNumber, friendlyName);
}

void failQuery(unsigned queryNumber) { state().failingQuery = queryNumber; }

unsigned adapterQueries() { return state().queries; }

std::vector<platform::AdapterEntry>& adapters() { return state().table; }

void setDetection(const std::string& dotted, platform::AddressState first,
                  std::uint64_t afterMilliseconds, platform::AddressState then) {
    state().detections[ipv4(dotted)] = {first, then, afterMilliseconds};
}

void setNetshApplies(bool applies) { state().netshApplies = applies; }

void applyCommandToAdapters(const std::wstring& commandLine) {
    if (!state().netshApplies) return;
    static const std::wstring setPrefix =
        L"c:\\windows\\system32\\netsh.exe interface ip set address name=\"";
    static const std::wstring addPrefix =
        L"c:\\windows\\system32\\netsh.exe interface ip add address name=\"";
    const bool isSet = commandLine.compare(0, setPrefix.size(), setPrefix) == 0;
    const bool isAdd = commandLine.compare(0, addPrefix.size(), addPrefix) == 0;
    if (!isSet && !isAdd) return;
    const std::size_t nameStart = setPrefix.size();  // both prefixes are as long
    const std::size_t nameEnd = commandLine.find(L'"', nameStart);
    if (nameEnd == std::wstring::npos) return;
    const std::wstring name = commandLine.substr(nameStart, nameEnd - nameStart);
    const std::vector<std::wstring> args = splitBlanks(commandLine.substr(nameEnd + 1));
    if (isSet) {
        applySet(name, args);
    } else {
        applyAdd(name, args);
    }
}

platform::AdapterEntry makeAdapter(const std::wstring& friendlyName,
                                   const std::vector<std::uint8_t>& mac) {
    platform::AdapterEntry entry;
    // Internal names look like the system's: a braced identifier.
    std::string internal = "{";
    for (wchar_t c : friendlyName) {
        internal.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '_');
    }
    internal.push_back('}');
    entry.adapterName = internal;
    entry.friendlyName = friendlyName;
    const std::size_t count = std::min<std::size_t>(mac.size(), entry.physicalAddress.size());
    std::copy(mac.begin(), mac.begin() + static_cast<std::ptrdiff_t>(count),
              entry.physicalAddress.begin());
    entry.physicalAddressLength = static_cast<unsigned>(count);
    return entry;
}

platform::Ipv4 ipv4(const std::string& dotted) {
    const auto parsed = parseIpv4(std::wstring(dotted.begin(), dotted.end()));
    if (!parsed) std::abort();  // a mistake in the test script, not a result
    return *parsed;
}

}  // namespace sim

namespace platform {

std::optional<std::vector<AdapterEntry>> queryAdapters() {
    AdapterState& s = state();
    const unsigned query = ++s.queries;

    // Scripted arrivals and departures take effect from their query on.
    for (auto it = s.arrivals.begin(); it != s.arrivals.end();) {
        if (it->first <= query) {
            s.table.push_back(std::move(it->second));
            it = s.arrivals.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = s.departures.begin(); it != s.departures.end();) {
        if (it->first <= query) {
            const std::wstring name = it->second;
            s.table.erase(std::remove_if(s.table.begin(), s.table.end(),
                                         [&](const AdapterEntry& a) { return a.friendlyName == name; }),
                          s.table.end());
            it = s.departures.erase(it);
        } else {
            ++it;
        }
    }

    // A detection that netsh started gives its verdict when its time comes.
    for (AdapterEntry& adapter : s.table) {
        for (UnicastAddress& unicast : adapter.unicast) {
            const auto d = unicast.address ? s.detections.find(*unicast.address) : s.detections.end();
            if (d != s.detections.end() && d->second.thenFrom <= sim::nowMilliseconds()) {
                unicast.state = d->second.then;
            }
        }
    }

    if (s.failingQuery != 0 && s.failingQuery == query) return std::nullopt;
    // The system answers "no data" rather than an empty table.
    if (s.table.empty()) return std::nullopt;
    return s.table;
}

}  // namespace platform
