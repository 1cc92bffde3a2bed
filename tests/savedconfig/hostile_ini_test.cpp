// Saved configuration files that are odd or hostile: the pre-flight builds
// its route command only from a checked gateway, and the writer keeps an
// exact backup and leaves every other section readable as it was.
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/ini_file.h"
#include "platform/sim/sim.h"
#include "savedconfig/preflight.h"
#include "savedconfig/writer.h"
#include "support/sim_test.h"

namespace {

const std::wstring kRoute = L"route add 169.254.0.0 mask 255.255.128.0 ";

AdapterConfigList oneAdapter() {
    AdapterConfigList list;
    AdapterConfig record;
    record.ipList = std::make_unique<TextList>(TextList{L"10.0.0.5", L"10.0.0.6"});
    copyText(record.gateway, L"10.0.0.1");
    copyText(record.mask, L"255.255.255.0");
    const std::uint8_t mac[6] = {0x52, 0x54, 0x00, 0xab, 0xcd, 0xef};
    for (std::size_t i = 0; i < 6; ++i) record.mac[i] = mac[i];
    list.append(std::move(record));
    return list;
}

// ASCII text as a UTF-16 file with its byte order mark.
std::string utf16(const std::string& ascii) {
    std::string out = "\xff\xfe";
    for (char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

std::wstring read(const std::string& bytes, const wchar_t* section, const wchar_t* key) {
    return inifile::lookup(bytes, section, key, L"-", 1024).value;
}

class HostileIni : public SimTest {};

}  // namespace

TEST_F(HostileIni, RouteCommandOnlyFromACheckedGateway) {
    struct Case {
        const char* name;
        std::string file;
        std::wstring gateway;  // empty: refused, no command
    };
    const std::string zero(1, '\0');
    const Case cases[] = {
        {"command separator", "[eth0]\r\nGATEWAY=10.0.0.1 & calc\r\n", L""},
        {"semicolon", "[eth0]\r\nGATEWAY=10.0.0.1;reboot\r\n", L""},
        {"format directives", "[eth0]\r\nGATEWAY=%s%n%ls%n\r\n", L""},
        {"over the buffer", "[eth0]\r\nGATEWAY=10.0.0.1" + std::string(3000, '1') + "\r\n", L""},
        {"high bytes", "[eth0]\r\nGATEWAY=10.0.0.\xb9\r\n", L""},
        {"leading zero", "[eth0]\r\nGATEWAY=10.0.0.01\r\n", L""},
        // What follows a zero byte never reaches the command.
        {"zero byte", "[eth0]\r\nGATEWAY=10.0.0.1" + zero + " & calc\r\n", L"10.0.0.1"},
        // Blanks and quotes around a value go, as the system reads it.
        {"quoted", "[eth0]\r\nGATEWAY = \"10.0.0.1\"  \r\n", L"10.0.0.1"},
        {"line feeds only", "\n\n[eth0]\nGATEWAY=10.0.0.2\n\n", L"10.0.0.2"},
        {"utf-16", utf16("[eth0]\r\nGATEWAY=1.2.3.4\r\n"), L"1.2.3.4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::resetCommands();
        writeFile(iniPath, c.file);
        const std::size_t logBefore = logText().size();

        EXPECT_EQ(enableLocalNetwork(), c.gateway.empty() ? 0 : 1);

        if (c.gateway.empty()) {
            EXPECT_TRUE(sim::commandsStarted().empty());
            EXPECT_EQ(logText().size(), logBefore);  // turned down without a line
        } else {
            ASSERT_EQ(sim::commandsStarted().size(), 1u);
            EXPECT_EQ(sim::commandsStarted()[0], kRoute + c.gateway);
        }
        EXPECT_EQ(readFile(iniPath), c.file);  // only read
    }
}

TEST_F(HostileIni, WriterKeepsAnExactBackupAndTheOtherSectionsReadable) {
    // Line feeds only, blank lines, blanks around names, a header with text
    // behind it, a zero byte and code-page bytes in other sections' values.
    const std::string zero(1, '\0');
    const std::string file = "; written by hand\n\n  [eth0] primary\n GATEWAY = 10.0.0.1 \n\n"
                             "[other]\nname=caf\xe9 \x80\nraw=a" + zero + "b\nnoequals\n"
                             "[eth:52:54:00:AB:CD:EF]\nnote=kept\nip=old\n";
    writeFile(iniPath, file);
    const AdapterConfigList desired = oneAdapter();

    ASSERT_EQ(writeConfigIni(&desired), 1);

    EXPECT_EQ(readFile(backupPath), file);
    const std::string after = readFile(iniPath);
    for (const wchar_t* key : {L"name", L"raw", L"noequals"}) {
        EXPECT_EQ(read(after, L"other", key), read(file, L"other", key)) << key;
    }
    EXPECT_EQ(read(after, L"other", L"name"), L"caf\u00e9 \u20ac");
    EXPECT_EQ(read(after, L"eth0", L"GATEWAY"), L"10.0.0.1");
    EXPECT_EQ(read(after, L"eth:52:54:00:AB:CD:EF", L"ip"), L"10.0.0.5,10.0.0.6");
    EXPECT_EQ(read(after, L"eth:52:54:00:AB:CD:EF", L"note"), L"kept");
    // The next run still finds its way to the metadata network.
    EXPECT_EQ(enableLocalNetwork(), 1);
    ASSERT_EQ(sim::commandsStarted().size(), 1u);
    EXPECT_EQ(sim::commandsStarted()[0], kRoute + L"10.0.0.1");
}

TEST_F(HostileIni, HeaderNamesRunToTheLastBracket) {
    // "[c]x]" names the section "c]x", as the system reads it: the section
    // comes back whole, not cut to "[c]".
    const std::string file = "[eth0]\r\nGATEWAY=10.0.0.1\r\n[c]x]\r\nm=3\r\n[d] ] tail\r\nn=4\r\n";
    EXPECT_EQ(read(file, L"c]x", L"m"), L"3");
    EXPECT_EQ(read(file, L"c", L"m"), L"-");
    EXPECT_EQ(read(file, L"d]", L"n"), L"4");
    writeFile(iniPath, file);
    const AdapterConfigList desired = oneAdapter();
    ASSERT_EQ(writeConfigIni(&desired), 1);
    const std::string after = readFile(iniPath);
    const std::string kept = "[eth0]\r\nGATEWAY=10.0.0.1\r\n[c]x]\r\nm=3\r\n[d]]\r\nn=4\r\n[eth:";
    EXPECT_EQ(after.substr(0, kept.size()), kept);
}

TEST_F(HostileIni, BlankSectionNameNeverStandsForTheLinesBeforeTheFirstHeader) {
    // The lines before the first header are a section of their own; a "[]"
    // further down is not that section (the system reads its keys as
    // missing) and its header is not written back.
    const std::string file = "top=1\r\n[a]\r\nk=1\r\n[]\r\nj=2\r\n";
    EXPECT_EQ(read(file, L"", L"top"), L"1");
    EXPECT_EQ(read(file, L"", L"j"), L"-");
    EXPECT_EQ(read("[a]\r\nk=1\r\n[]\r\nj=2\r\n", L"", L"j"), L"-");
    bool changed = false;
    EXPECT_EQ(inifile::applyWrite(file, L"b", L"z", L"9", changed),
              "top=1\r\n[a]\r\nk=1\r\nj=2\r\n[b]\r\nz=9\r\n");
    EXPECT_TRUE(changed);
}

TEST_F(HostileIni, ByteOrderMarkBehindBlanksStillLeavesAnExactBackup) {
    // Written back without its leading blank, this one-byte file starts with
    // the UTF-16 byte order mark and reads as UTF-16 from then on (Wine's
    // routines do the same; Windows' own rewrite nothing). The writer still
    // reports its writes and the backup is the file as it was.
    const std::string file = " \xff\xfe\r\n[eth0]\r\nGATEWAY=10.0.0.1\r\n";
    writeFile(iniPath, file);
    const AdapterConfigList desired = oneAdapter();
    EXPECT_EQ(writeConfigIni(&desired), 1);
    EXPECT_EQ(readFile(backupPath), file);
    EXPECT_EQ(readFile(iniPath).compare(0, 2, "\xff\xfe"), 0);
}
