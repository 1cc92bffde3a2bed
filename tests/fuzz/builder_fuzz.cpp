// The desired configuration builder against a metadata service whose every
// answer comes from the fuzzer: no crash, and nothing but checked texts in
// what it returns or in the URLs it asks for.
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/ipv4_text.h"
#include "core/settings.h"
#include "metadata/builder.h"
#include "metadata/parse.h"
#include "platform/system.h"
#include "sim/sim.h"

namespace {

// A broken property names itself before libFuzzer keeps the input.
[[noreturn]] void fail(const char* what, int line) {
    std::fprintf(stderr, "property failed (line %d): %s\n", line, what);
    std::abort();
}
#define REQUIRE(condition) ((condition) ? (void)0 : fail(#condition, __LINE__))

// The input is the service's answers, one field each, fields split by 0x1E:
// "/meta-data/mac", the adapter listing, then for each entry of that listing
// (as the builder splits it) its primary address, its address listing, and
// the gateway and mask of that primary address. A field starting with 0x1F
// is a host that cannot be reached, one starting with 0x1D a read that
// fails; a missing field is never answered. Seeds stay readable this way.
constexpr char kFieldEnd = '\x1e';
constexpr char kUnreachable = '\x1f';
constexpr char kReadFails = '\x1d';

std::vector<std::string> fields(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (static_cast<char>(data[i]) == kFieldEnd) {
            out.emplace_back();
        } else {
            out.back().push_back(static_cast<char>(data[i]));
        }
    }
    return out;
}

// Bytes as the simulated code page reads them: one byte, one character.
std::wstring latin1(const std::string& bytes) {
    std::wstring out;
    for (char c : bytes) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return out;
}

void answer(const std::wstring& url, const std::vector<std::string>& all, std::size_t index) {
    if (index >= all.size()) return;
    const std::string& field = all[index];
    sim::HttpAnswer a;
    if (!field.empty() && field[0] == kUnreachable) {
        a.kind = sim::HttpAnswer::Kind::Unreachable;
    } else if (!field.empty() && field[0] == kReadFails) {
        a.kind = sim::HttpAnswer::Kind::ReadFails;
    } else {
        a.body = field;
    }
    sim::setHttpAnswer(url, a);
}

struct Served {
    std::wstring entry;
    std::wstring primary;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Log lines go through the multibyte conversion as in a real run.
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) std::setlocale(LC_ALL, "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> input = fields(data, size);
    sim::reset();
    // ADDRSMITH_FUZZ_LOG names a file to keep the run log in, for looking
    // into one input; otherwise it is formatted and thrown away.
    const char* keep = std::getenv("ADDRSMITH_FUZZ_LOG");
    const std::string logPath = keep != nullptr ? keep : "/dev/null";
    platform::redirectOutputToLog(std::wstring(logPath.begin(), logPath.end()));

    const std::wstring base = settings().metadataBaseUrl;
    const std::wstring macsUrl = base + L"/meta-data/network/interfaces/macs/";
    answer(base + L"/meta-data/mac", input, 0);
    answer(macsUrl, input, 1);

    std::vector<Served> served;
    std::size_t next = 2;
    const std::string listing = input.size() > 1 ? input[1] : std::string();
    for (const std::wstring& entry : splitListing(latin1(listing), L"/")) {
        if (next >= input.size()) break;
        const std::wstring adapter = macsUrl + entry + L"/";
        // The builder's copy of a text ends at its first zero byte.
        const std::wstring primary(latin1(input[next]).c_str());
        answer(adapter + L"primary-local-ipv4/", input, next);
        answer(adapter + L"local-ipv4s/", input, next + 1);
        const std::wstring byPrimary = adapter + L"local-ipv4s/" + primary;
        answer(byPrimary + L"/gateway", input, next + 2);
        answer(byPrimary + L"/subnet-mask", input, next + 3);
        served.push_back(Served{entry, primary});
        next += 4;
    }

    const std::unique_ptr<AdapterConfigList> desired = getDesiredConfig();

    // The main address is asked again only while it gets no answer at all.
    const std::vector<std::wstring>& requests = sim::httpRequests();
    std::size_t mainAsked = 0;
    while (mainAsked < requests.size() && requests[mainAsked] == base + L"/meta-data/mac") ++mainAsked;
    const bool mainUnanswered = !input.empty() && !input[0].empty() && input[0][0] == kUnreachable;
    REQUIRE(mainAsked == 1 || (mainUnanswered && mainAsked > 1));
    // Every request past the main address and the listing names a checked
    // hardware address, and the gateway and mask requests a checked primary
    // address.
    for (std::size_t i = mainAsked + 1; i < requests.size(); ++i) {
        const std::wstring& url = requests[i];
        REQUIRE(url.compare(0, macsUrl.size(), macsUrl) == 0);
        const std::wstring rest = url.substr(macsUrl.size());
        REQUIRE(rest.size() > 18 && rest[17] == L'/');
        REQUIRE(checkMac(rest.substr(0, 17).c_str()) == 1);
        // ... and never the machine's own adapter, in whatever letter case.
        std::uint8_t mainBytes[6] = {}, entryBytes[6] = {};
        const std::wstring mainText(latin1(input[0]).c_str());
        if (checkMac(mainText.c_str()) == 1) {
            macTextToBytes(mainText.c_str(), mainBytes);
            macTextToBytes(rest.substr(0, 17).c_str(), entryBytes);
            REQUIRE(std::memcmp(mainBytes, entryBytes, 6) != 0);
        }
        const std::wstring tail = rest.substr(18);
        for (const wchar_t* suffix : {L"/gateway", L"/subnet-mask"}) {
            const std::wstring s = suffix;
            if (tail.size() > s.size() && tail.compare(tail.size() - s.size(), s.size(), s) == 0) {
                const std::wstring prefix = L"local-ipv4s/";
                REQUIRE(tail.compare(0, prefix.size(), prefix) == 0);
                const std::wstring ip =
                    tail.substr(prefix.size(), tail.size() - prefix.size() - s.size());
                REQUIRE(checkIpAddr(ip.c_str()) == 1);
            }
        }
    }

    if (!desired) return 0;
    for (const AdapterConfig& record : *desired) {
        REQUIRE(record.dhcp == 0);
        REQUIRE(!record.dnsList);
        REQUIRE(record.ipList && !record.ipList->empty());
        for (const std::wstring& ip : *record.ipList) REQUIRE(checkIpAddr(ip.c_str()) == 1);
        REQUIRE(checkIpAddr(record.gateway) == 1);
        REQUIRE(checkIpAddr(record.mask) == 1);
        REQUIRE(record.adapterName[0] == L'\0');

        // The record belongs to a served adapter whose entry passed the check
        // and whose primary address leads the list.
        bool found = false;
        for (const Served& s : served) {
            if (checkMac(s.entry.c_str()) != 1 || s.primary != record.ipList->front()) continue;
            std::uint8_t bytes[6] = {};
            REQUIRE(macTextToBytes(s.entry.c_str(), bytes) == 0);
            bool same = true;
            for (std::size_t i = 0; i < 6; ++i) same = same && bytes[i] == record.mac[i];
            found = found || same;
        }
        REQUIRE(found);
    }
    return 0;
}
