// The portable INI layer against the system's private-profile routines: the
// same writes through both must leave the same bytes, and the same reads
// must give the same answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "sim/ini_file.h"

namespace {

struct Write {
    std::wstring section, key, value;
};

struct Query {
    std::wstring section, key, fallback;
    std::size_t capacity;
};

struct Scenario {
    const char* name;
    std::string initial;  // the file's bytes before the writes
    bool fileExists;
    std::vector<Write> writes;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void put(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string visible(const std::string& bytes) {
    std::string out;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n\n";
        } else if (c < 32 || c > 126) {
            std::snprintf(hex, sizeof hex, "<%02x>", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

const std::vector<Write> kWriterRun = {
    {L"eth:52:54:00:AB:CD:EF", L"mac", L"52:54:00:AB:CD:EF"},
    {L"eth:52:54:00:AB:CD:EF", L"ip", L"10.0.0.5,10.0.0.6,10.0.0.7"},
    {L"eth:52:54:00:AB:CD:EF", L"gateway", L"10.0.0.1"},
    {L"eth:52:54:00:AB:CD:EF", L"mask", L"255.255.255.0"},
    {L"eth:52:54:00:AB:CD:EF", L"dhcp", L"0"},
    {L"eth:52:54:00:AB:CD:EF", L"disabled", L"0"},
    {L"eth:0A:00:27:01:02:0B", L"mac", L"0A:00:27:01:02:0B"},
    {L"eth:0A:00:27:01:02:0B", L"ip", L""},
    {L"eth:0A:00:27:01:02:0B", L"gateway", L""},
    {L"eth:0A:00:27:01:02:0B", L"mask", L"255.255.0.0"},
    {L"eth:0A:00:27:01:02:0B", L"dhcp", L"0"},
    {L"eth:0A:00:27:01:02:0B", L"disabled", L"0"},
};

std::vector<Write> twice(std::vector<Write> writes) {
    const std::vector<Write> copy = writes;
    writes.insert(writes.end(), copy.begin(), copy.end());
    return writes;
}

std::vector<Scenario> scenarios() {
    const std::string saved =
        "[eth0]\r\nGATEWAY=10.0.0.1\r\n"
        "[eth:52:54:00:00:00:99]\r\nmac=52:54:00:00:00:99\r\nip=10.9.9.9\r\ngateway=10.9.9.1\r\n"
        "mask=255.0.0.0\r\ndhcp=0\r\ndisabled=0\r\n";
    return {
        {"saved configuration, two adapters, run twice", saved, true, twice(kWriterRun)},
        {"existing adapter section updated in place",
         "[eth:52:54:00:ab:cd:ef]\r\nMAC=old\r\nnote=kept\r\nIP=10.1.1.1\r\n[eth0]\r\nGATEWAY=10.0.0.1\r\n", true,
         kWriterRun},
        {"hand-edited file: LF, blank lines, blanks, comments",
         "; written by hand\n\n[eth0]\n  GATEWAY = 10.0.0.1  \n;comment\n\n\n[other]\nx = 1\n\n", true,
         {{L"eth0", L"GATEWAY", L"10.0.0.1"}, {L"OTHER", L"X", L"2"}, {L"eth0", L"new", L"v"}, {L"s", L"k", L"v"}}},
        {"unchanged values on an LF file", "[eth0]\nGATEWAY = 10.0.0.1\n", true,
         {{L"ETH0", L"gateway", L"10.0.0.1"}}},
        {"file without final line end", "[eth0]\r\nGATEWAY=10.0.0.1", true, kWriterRun},
        {"new file", "", false, kWriterRun},
        {"empty file", "", true, {{L"s", L"k", L"v"}, {L"s", L"k2", L"w"}}},
        {"duplicate sections and keys", "[A]\r\nk=1\r\nk=2\r\n[a]\r\nk=3\r\n", true,
         {{L"a", L"K", L"9"}, {L"a", L"j", L"4"}}},
        {"odd lines", "junk\r\n[a] tail\r\nnoeq\r\nk\r\n=x\r\n[b\r\nq=a=b\r\n", true,
         {{L"a", L"k", L"x"}, {L"a", L"noeq", L""}, {L"b", L"k", L"1"}, {L"a", L"q", L"c=d"}}},
        {"CR-only line ends", "[e]\rk=1\r[f]\rj=1\r", true, {{L"e", L"j", L"1"}}},
        {"brackets inside section names, and an empty name",
         "k0=top\r\n[c]x]\r\nk=1\r\n[d] ] tail\r\nk=2\r\n[]\r\nk=3\r\n", true,
         {{L"c]x", L"j", L"4"}, {L"d ]", L"j", L"5"}, {L"c", L"k", L"6"}}},
        {"blanks around given names and values", "[a]\r\nk=1\r\n", true,
         {{L"a", L" zz ", L" v v "}, {L" b ", L"k", L"v"}, {L"b", L" k ", L"w"}}},
        {"quotes and empty values", "[a]\r\nk=\"q\"\r\n", true,
         {{L"a", L"z", L"'v'"}, {L"a", L"k", L""}, {L"a", L"e", L""}}},
        {"ANSI text", "[a]\r\nk=\xe9\x80\r\n", true, {{L"a", L"z", L"\u20ac\u00e8\u00ff"}}},
        {"UTF-8 with byte order mark", "\xef\xbb\xbf[a]\r\nk=\xc3\xa9\r\n", true,
         {{L"a", L"z", L"\u00e8\u20ac\u0101"}, {L"b", L"k", L"1"}}},
        {"UTF-16 with byte order mark", std::string("\xff\xfe[\0a\0]\0\r\0\n\0k\0=\0" "1\0\r\0\n\0", 22), true,
         {{L"a", L"z", L"\u0101"}, {L"b", L"k", L"1"}}},
    };
}

const std::vector<Query> kQueries = {
    {L"eth0", L"GATEWAY", L"0", 1024},  {L"ETH0", L"gateway", L"0", 1024}, {L"eth0", L"none", L"0", 1024},
    {L"nosuch", L"GATEWAY", L"0", 1024}, {L"a", L"k", L"0", 1024},           {L"a", L"z", L"0", 1024},
    {L"a", L"z", L"0", 2},               {L"a", L"noeq", L"0", 1024},        {L"a", L"e", L"dflt", 1024},
    {L"a", L"q", L"0", 1024},            {L"A", L"k", L"0", 1024},           {L"b", L"k", L"0", 1024},
    {L" b ", L"zz", L"0", 1024},         {L"x", L"y", L" dflt ", 1024},      {L"x", L"y", L"dflt", 3},
    {L"eth:52:54:00:AB:CD:EF", L"ip", L"0", 1024},
    {L"eth:52:54:00:AB:CD:EF", L"ip", L"0", 9},
};

}  // namespace

TEST(WinIni, SameWritesLeaveTheSameBytesAndReadTheSame) {
    const std::string folder = std::filesystem::current_path().string() + "\\";
    int number = 0;
    for (const Scenario& scenario : scenarios()) {
        // Fresh names each time, so no cached copy of an earlier file plays a part.
        ++number;
        const std::string real = folder + "addrsmith_ini_real_" + std::to_string(number) + ".ini";
        const std::string mine = folder + "addrsmith_ini_mine_" + std::to_string(number) + ".ini";
        std::remove(real.c_str());
        std::remove(mine.c_str());
        if (scenario.fileExists) {
            put(real, scenario.initial);
            put(mine, scenario.initial);
        }
        const std::wstring realWide(real.begin(), real.end());
        for (const Write& w : scenario.writes) {
            EXPECT_TRUE(platform::writeProfileString(realWide, w.section, w.key, w.value)) << scenario.name;
            EXPECT_TRUE(inifile::writeString(mine, w.section, w.key, w.value)) << scenario.name;
        }
        const std::string realBytes = slurp(real);
        const std::string mineBytes = slurp(mine);
        EXPECT_EQ(visible(mineBytes), visible(realBytes)) << scenario.name;

        for (const Query& q : kQueries) {
            const platform::ProfileRead expected =
                platform::readProfileString(realWide, q.section, q.key, q.fallback, q.capacity);
            const inifile::Read got = inifile::readString(mine, q.section, q.key, q.fallback, q.capacity);
            EXPECT_EQ(got.value, expected.value) << scenario.name << " / [" << std::string(q.section.begin(), q.section.end())
                                                 << "] " << std::string(q.key.begin(), q.key.end());
            EXPECT_EQ(got.count, expected.count) << scenario.name;
        }
        // The saved file's one-step replace on the real calls: `mine` takes
        // the real file's place and bytes, its own going to the backup name.
        const std::wstring mineWide(mine.begin(), mine.end());
        EXPECT_EQ(platform::replaceFile(mineWide, realWide, mineWide + L".old"), 0u) << scenario.name;
        EXPECT_EQ(platform::readFileBytes(mineWide), std::vector<std::uint8_t>(realBytes.begin(), realBytes.end()));
        EXPECT_EQ(platform::readFileBytes(mineWide + L".old"), std::vector<std::uint8_t>(mineBytes.begin(), mineBytes.end()));
        EXPECT_FALSE(platform::fileExists(realWide)) << scenario.name;
        std::remove(real.c_str());
        platform::removeFile(mineWide + L".old");
        std::remove(mine.c_str());
    }
}
