// The saved configuration file with arbitrary contents: the pre-flight's read
// and the writer's writes of a fixed desired configuration must not crash,
// must build the route command only from a checked gateway, must keep an
// exact backup, and must leave every section they do not write alone.
//
// "Alone" has two strengths here. The INI layer, like the system's routines
// under Wine, writes the whole file back in a normal form (CRLF line ends,
// no blank lines, no blanks around names and values, nothing behind a
// section header's closing bracket). So for any file, every key of every
// other section reads back the same; and for a file already in that form
// (one-byte code page), the lines of the other sections come out byte for
// byte the same, in the same order.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "core/ipv4_text.h"
#include "core/settings.h"
#include "metadata/parse.h"
#include "platform/system.h"
#include "savedconfig/preflight.h"
#include "savedconfig/writer.h"
#include "sim/ini_file.h"
#include "sim/sim.h"

namespace {

// A broken property names itself before libFuzzer keeps the input.
[[noreturn]] void fail(const char* what, int line) {
    std::fprintf(stderr, "property failed (line %d): %s\n", line, what);
    std::abort();
}
#define REQUIRE(condition) ((condition) ? (void)0 : fail(#condition, __LINE__))

std::string folder;
std::string iniPath;
std::string backupPath;

void writeAll(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    REQUIRE(file != nullptr);
    REQUIRE(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    REQUIRE(std::fclose(file) == 0);
}

// The configuration every run writes.
struct Written {
    std::wstring section;
    std::vector<std::pair<std::wstring, std::wstring>> keys;
};

const std::vector<Written>& writtenSections() {
    static const std::vector<Written> sections = {
        {L"eth:52:54:00:AB:CD:EF",
         {{L"mac", L"52:54:00:AB:CD:EF"}, {L"ip", L"10.0.0.5,10.0.0.6"}, {L"gateway", L"10.0.0.1"},
          {L"mask", L"255.255.255.0"}, {L"dhcp", L"0"}, {L"disabled", L"0"}}},
        {L"eth:0A:00:27:01:02:0B",
         {{L"mac", L"0A:00:27:01:02:0B"}, {L"ip", L"172.16.1.20"}, {L"gateway", L"172.16.1.1"},
          {L"mask", L"255.255.0.0"}, {L"dhcp", L"0"}, {L"disabled", L"0"}}},
    };
    return sections;
}

AdapterConfigList desiredConfig() {
    AdapterConfigList list;
    const std::uint8_t macs[2][6] = {{0x52, 0x54, 0x00, 0xab, 0xcd, 0xef},
                                     {0x0a, 0x00, 0x27, 0x01, 0x02, 0x0b}};
    const std::vector<std::vector<std::wstring>> ips = {{L"10.0.0.5", L"10.0.0.6"}, {L"172.16.1.20"}};
    const wchar_t* gateways[2] = {L"10.0.0.1", L"172.16.1.1"};
    const wchar_t* masks[2] = {L"255.255.255.0", L"255.255.0.0"};
    for (std::size_t i = 0; i < 2; ++i) {
        AdapterConfig record;
        record.ipList = std::make_unique<TextList>(ips[i]);
        copyText(record.gateway, gateways[i]);
        copyText(record.mask, masks[i]);
        for (std::size_t b = 0; b < 6; ++b) record.mac[b] = macs[i][b];
        list.append(std::move(record));
    }
    return list;
}

using inifile::isBlank;
using inifile::sameName;
using inifile::trim;

bool isWrittenSection(const std::wstring& name) {
    for (const Written& w : writtenSections()) {
        if (sameName(name, w.section)) return true;
    }
    return false;
}

// The file's lines as characters: UTF-16 after its byte order mark, else one
// byte per character (names outside ASCII in a UTF-8 file then simply read
// as missing on both sides, which proves nothing but breaks nothing).
std::vector<std::wstring> lines(const std::string& bytes) {
    std::wstring text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                                (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        }
    } else {
        // A UTF-8 byte order mark is not part of the first line: left in, it
        // hid a first header from this reading while the layer saw it.
        const bool utf8Mark = bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
                              static_cast<unsigned char>(bytes[1]) == 0xBB &&
                              static_cast<unsigned char>(bytes[2]) == 0xBF;
        for (std::size_t i = utf8Mark ? 3 : 0; i < bytes.size(); ++i) {
            text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(bytes[i])));
        }
    }
    std::vector<std::wstring> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != L'\r' && text[end] != L'\n') ++end;
        out.push_back(text.substr(pos, end - pos));
        pos = end;
        if (pos < text.size() && text[pos] == L'\r') ++pos;
        if (pos < text.size() && text[pos] == L'\n') ++pos;
    }
    return out;
}

// Every (section, key) the file appears to name whose reads must survive a
// rewrite, the section empty for keys before the first header. A header
// with a blank name ("[]") is the one exception: the system reads that
// section as missing, and writing the file back drops its header, so its
// keys join the section before it. Those keys, and every key of a section
// that may gain them (under any copy of its name), are left out.
std::vector<std::pair<std::wstring, std::wstring>> stableKeys(const std::string& bytes) {
    std::vector<std::pair<std::wstring, std::wstring>> named;
    std::vector<std::wstring> absorbing;
    std::wstring section;
    std::wstring receiver;  // the section a blank header's keys would join
    bool blankHeader = false;
    for (const std::wstring& raw : lines(bytes)) {
        const std::wstring line = trim(raw);
        if (line.empty()) continue;
        const std::size_t close = line.rfind(L']');
        if (line[0] == L'[' && close != std::wstring::npos) {
            section = line.substr(1, close - 1);
            blankHeader = trim(section).empty();
            if (blankHeader) {
                absorbing.push_back(receiver);
            } else {
                receiver = section;
            }
            continue;
        }
        if (!blankHeader) named.emplace_back(section, line.substr(0, line.find(L'=')));
    }
    std::vector<std::pair<std::wstring, std::wstring>> out;
    for (const auto& key : named) {
        bool stable = true;
        for (const std::wstring& name : absorbing) stable = stable && !sameName(key.first, name);
        if (stable) out.push_back(key);
    }
    return out;
}

bool hasBlankHeader(const std::string& bytes) {
    for (const std::wstring& raw : lines(bytes)) {
        const std::wstring line = trim(raw);
        const std::size_t close = line.rfind(L']');
        if (!line.empty() && line[0] == L'[' && close != std::wstring::npos &&
            trim(line.substr(1, close - 1)).empty()) {
            return true;
        }
    }
    return false;
}

// One-byte text already written the way the layer writes files: every line
// ends in CRLF, none is blank or has blanks at its ends or around its first
// "=", and a header has a name without blanks at its ends and ends at "]".
bool inNormalForm(const std::string& bytes) {
    if (bytes.size() >= 2 && ((static_cast<unsigned char>(bytes[0]) == 0xFF &&
                               static_cast<unsigned char>(bytes[1]) == 0xFE) ||
                              (static_cast<unsigned char>(bytes[0]) == 0xEF &&
                               static_cast<unsigned char>(bytes[1]) == 0xBB))) {
        return false;
    }
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", pos);
        if (end == std::string::npos) return false;
        const std::string line = bytes.substr(pos, end - pos);
        pos = end + 2;
        if (line.empty() || line.find_first_of("\r\n") != std::string::npos) return false;
        if (isBlank(static_cast<unsigned char>(line.front())) ||
            isBlank(static_cast<unsigned char>(line.back()))) {
            return false;
        }
        const std::size_t close = line.rfind(']');
        if (line[0] == '[' && close != std::string::npos) {
            if (close != line.size() - 1 || close == 1) return false;
            if (isBlank(static_cast<unsigned char>(line[1])) ||
                isBlank(static_cast<unsigned char>(line[close - 1]))) {
                return false;
            }
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            if (equals > 0 && isBlank(static_cast<unsigned char>(line[equals - 1]))) return false;
            if (equals + 1 < line.size() && isBlank(static_cast<unsigned char>(line[equals + 1]))) {
                return false;
            }
        }
    }
    return true;
}

// A one-byte file whose first line, once the rewrite has dropped the blank
// lines, blanks and blank-named headers before it, starts with a byte order
// mark: written back, the file then reads in another encoding, under Wine
// as in the layer. The system on Windows rewrites nothing, so no run there
// meets this; here the read-back checks do not apply to such a file.
bool gainsByteOrderMark(const std::string& bytes) {
    const auto hasMark = [](const std::string& text) {
        return text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 3, "\xEF\xBB\xBF") == 0;
    };
    if (hasMark(bytes)) return false;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t end = bytes.find_first_of("\r\n", pos);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t begin = line.find_first_not_of(" \t\v\f");
        if (begin == std::string::npos) continue;
        line = line.substr(begin, line.find_last_not_of(" \t\v\f") - begin + 1);
        const std::size_t close = line.rfind(']');
        if (line[0] == '[' && close != std::string::npos &&
            line.substr(1, close - 1).find_first_not_of(" \t\v\f") == std::string::npos) {
            continue;  // a blank-named header is not written back
        }
        return hasMark(line);
    }
    return false;
}

// The file's lines without the sections the writer owns.
std::vector<std::string> foreignLines(const std::string& bytes) {
    std::vector<std::string> out;
    bool skipping = false;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t end = bytes.find("\r\n", pos);
        if (end == std::string::npos) end = bytes.size();
        const std::string line = bytes.substr(pos, end - pos);
        pos = end + 2;
        if (!line.empty() && line[0] == '[' && line.rfind(']') != std::string::npos) {
            std::wstring name;
            for (char c : line.substr(1, line.rfind(']') - 1)) {
                name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
            }
            skipping = isWrittenSection(name);
        }
        if (!skipping) out.push_back(line);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where there is such a folder: every input rewrites the file
    // a dozen times, and a disk makes that the slowest part by far.
    static char shm[] = "/dev/shm/addrsmith-ini-fuzz-XXXXXX";
    static char tmp[] = "/tmp/addrsmith-ini-fuzz-XXXXXX";
    const char* pattern = ::mkdtemp(shm);
    if (pattern == nullptr) pattern = ::mkdtemp(tmp);
    REQUIRE(pattern != nullptr);
    folder = pattern;
    iniPath = folder + "/ipconfig_xen_vm.ini";
    backupPath = folder + "/ipconfig_xen_vm_backup.ini";
    std::atexit([] {
        std::remove(iniPath.c_str());
        std::remove(backupPath.c_str());
        ::rmdir(folder.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string before(reinterpret_cast<const char*>(data), size);
    sim::reset();
    resetSettings();
    settings().iniFile = std::wstring(iniPath.begin(), iniPath.end());
    settings().backupFile = std::wstring(backupPath.begin(), backupPath.end());
    std::remove(backupPath.c_str());
    platform::redirectOutputToLog(L"/dev/null");
    writeAll(iniPath, before);

    // The pre-flight: a route only through a gateway that passed the check,
    // and the file only read.
    const inifile::Read gateway = inifile::lookup(before, L"eth0", L"GATEWAY", L"0", 1024);
    const std::wstring gatewayText(gateway.value.c_str());  // as the check sees it
    const bool usable = gateway.count > 0 && checkIpAddr(gatewayText.c_str()) == 1;
    REQUIRE(enableLocalNetwork() == (usable ? 1 : 0));
    const std::vector<std::wstring>& commands = sim::commandsStarted();
    if (usable) {
        REQUIRE(commands.size() == 1);
        REQUIRE(commands[0] == L"route add 169.254.0.0 mask 255.255.128.0 " + gatewayText);
    } else {
        REQUIRE(commands.empty());
    }
    std::string afterRead;
    REQUIRE(inifile::readBytes(iniPath, afterRead) && afterRead == before);

    // The writer: an exact backup first, then its own sections.
    const AdapterConfigList desired = desiredConfig();
    REQUIRE(writeConfigIni(&desired) == 1);
    std::string backup;
    REQUIRE(inifile::readBytes(backupPath, backup) && backup == before);
    std::string after;
    REQUIRE(inifile::readBytes(iniPath, after));

    if (gainsByteOrderMark(before)) return 0;
    for (const Written& w : writtenSections()) {
        for (const auto& key : w.keys) {
            REQUIRE(inifile::lookup(after, w.section, key.first, L"-", 4096).value == key.second);
        }
    }

    // Everything else reads back as it was, unless a "[]" header is in the
    // file: rewriting drops it, as Wine does, and the keys under it join
    // whichever section comes to stand before them (which may be eth0).
    if (hasBlankHeader(before)) return 0;
    REQUIRE(inifile::lookup(after, L"eth0", L"GATEWAY", L"0", 1024).value == gateway.value);
    const auto named = stableKeys(before);
    // Each lookup reads the whole file: a sample of the keys keeps runs fast.
    for (std::size_t i = 0; i < named.size() && i < 16; ++i) {
        if (isWrittenSection(named[i].first)) continue;
        const inifile::Read was = inifile::lookup(before, named[i].first, named[i].second, L"-", 4096);
        const inifile::Read is = inifile::lookup(after, named[i].first, named[i].second, L"-", 4096);
        REQUIRE(was.value == is.value && was.count == is.count);
    }
    if (inNormalForm(before)) REQUIRE(foreignLines(after) == foreignLines(before));
    return 0;
}
