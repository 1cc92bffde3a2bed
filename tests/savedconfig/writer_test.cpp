#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "savedconfig/preflight.h"
#include "savedconfig/writer.h"
#include "sim/ini_file.h"
#include "sim/sim.h"
#include "support/sim_test.h"

namespace {

AdapterConfig makeRecord(std::vector<std::uint8_t> mac, std::vector<std::wstring> ips,
                         const std::wstring& gateway, const std::wstring& mask) {
    AdapterConfig record;
    record.ipList = std::make_unique<TextList>(std::move(ips));
    copyText(record.gateway, gateway);
    copyText(record.mask, mask);
    for (std::size_t i = 0; i < 6; ++i) record.mac[i] = mac[i];
    return record;
}

// The one adapter the odd files below are written with.
AdapterConfigList oneAdapter() {
    AdapterConfigList list;
    list.append(makeRecord({0x52, 0x54, 0x00, 0xab, 0xcd, 0xef}, {L"10.0.0.5", L"10.0.0.6"}, L"10.0.0.1",
                           L"255.255.255.0"));
    return list;
}

// A value as the system would read it back, "-" when it finds none.
std::wstring read(const std::string& bytes, const wchar_t* section, const wchar_t* key) {
    return inifile::lookup(bytes, section, key, L"-", 1024).value;
}

const std::string kExisting =
    "[eth0]\r\nGATEWAY=10.0.0.1\r\n"
    "[eth:52:54:00:00:00:99]\r\nmac=52:54:00:00:00:99\r\nip=10.9.9.9\r\ngateway=10.9.9.1\r\n"
    "mask=255.0.0.0\r\ndhcp=0\r\ndisabled=0\r\n";

}  // namespace

using WriterTest = SimTest;

TEST(MacToText, UpperCaseHexWithLeadingZeros) {
    const std::uint8_t mac[6] = {0x52, 0x54, 0x00, 0xab, 0xcd, 0xef};
    EXPECT_EQ(macToText(mac), L"52:54:00:AB:CD:EF");
    const std::uint8_t low[6] = {0x0a, 0x01, 0x00, 0x0f, 0x10, 0xff};
    EXPECT_EQ(macToText(low), L"0A:01:00:0F:10:FF");
}

TEST_F(WriterTest, TwoAdaptersGetOneSectionEachAndEverythingElseStays) {
    writeFile(iniPath, kExisting);
    writeFile(iniPath + ".new", "[eth0]\r\nGATEWAY=half");  // what a killed run left
    sim::fileAttributes()[iniPath + ".new"] = sim::kHidden | sim::kReadOnly;
    writeFile(backupPath + ".new", "half a backup");  // hidden, as a copy of a hidden saved file is
    sim::fileAttributes()[backupPath + ".new"] = sim::kHidden;
    AdapterConfigList list;
    list.append(makeRecord({0x52, 0x54, 0x00, 0xab, 0xcd, 0xef}, {L"10.0.0.5", L"10.0.0.6", L"10.0.0.7"},
                           L"10.0.0.1", L"255.255.255.0"));
    list.append(makeRecord({0x0a, 0x00, 0x27, 0x01, 0x02, 0x0b}, {L"172.16.1.20"}, L"172.16.1.1",
                           L"255.255.0.0"));
    EXPECT_EQ(writeConfigIni(&list), 1);
    EXPECT_EQ(readFile(iniPath),
              kExisting +
                  "[eth:52:54:00:AB:CD:EF]\r\nmac=52:54:00:AB:CD:EF\r\nip=10.0.0.5,10.0.0.6,10.0.0.7\r\n"
                  "gateway=10.0.0.1\r\nmask=255.255.255.0\r\ndhcp=0\r\ndisabled=0\r\n"
                  "[eth:0A:00:27:01:02:0B]\r\nmac=0A:00:27:01:02:0B\r\nip=172.16.1.20\r\n"
                  "gateway=172.16.1.1\r\nmask=255.255.0.0\r\ndhcp=0\r\ndisabled=0\r\n");
    EXPECT_EQ(readFile(backupPath), kExisting);
    EXPECT_FALSE(fileExistsOnDisk(iniPath + ".new"));
    EXPECT_EQ(logText(), "");
}

TEST_F(WriterTest, ExistingSectionIsUpdatedWhereItStandsAndEmptyValuesAreWritten) {
    writeFile(iniPath, "[eth:52:54:00:00:00:99]\r\nmac=52:54:00:00:00:99\r\nip=10.9.9.9\r\nnote=kept\r\n"
                       "gateway=10.9.9.1\r\n[eth0]\r\nGATEWAY=10.0.0.1\r\n");
    AdapterConfigList list;
    list.append(makeRecord({0x52, 0x54, 0x00, 0x00, 0x00, 0x99}, {}, L"", L"255.255.255.0"));
    AdapterConfig noList = makeRecord({1, 2, 3, 4, 5, 6}, {}, L"", L"");
    noList.ipList.reset();
    list.append(std::move(noList));
    EXPECT_EQ(writeConfigIni(&list), 1);
    EXPECT_EQ(readFile(iniPath),
              "[eth:52:54:00:00:00:99]\r\nmac=52:54:00:00:00:99\r\nip=\r\nnote=kept\r\ngateway=\r\n"
              "mask=255.255.255.0\r\ndhcp=0\r\ndisabled=0\r\n[eth0]\r\nGATEWAY=10.0.0.1\r\n"
              "[eth:01:02:03:04:05:06]\r\nmac=01:02:03:04:05:06\r\nip=\r\ngateway=\r\nmask=\r\n"
              "dhcp=0\r\ndisabled=0\r\n");
}

TEST_F(WriterTest, TwoRecordsWithOneHardwareAddressShareASectionAndTheLaterWins) {
    writeFile(iniPath, "[eth0]\r\nGATEWAY=10.0.0.1\r\n");
    AdapterConfigList list;
    list.append(makeRecord({0x52, 0x54, 0, 1, 2, 3}, {L"10.0.0.5"}, L"10.0.0.1", L"255.255.255.0"));
    list.append(makeRecord({0x52, 0x54, 0, 1, 2, 3}, {L"10.1.0.5", L"10.1.0.6"}, L"10.1.0.1", L"255.255.0.0"));
    EXPECT_EQ(writeConfigIni(&list), 1);
    EXPECT_EQ(readFile(iniPath),
              "[eth0]\r\nGATEWAY=10.0.0.1\r\n[eth:52:54:00:01:02:03]\r\nmac=52:54:00:01:02:03\r\n"
              "ip=10.1.0.5,10.1.0.6\r\ngateway=10.1.0.1\r\nmask=255.255.0.0\r\ndhcp=0\r\ndisabled=0\r\n");
}

TEST_F(WriterTest, SecondIdenticalRunLeavesTheFileAndBacksUpTheFirstResult) {
    writeFile(iniPath, kExisting);
    sim::fileAttributes()[iniPath] = sim::kHidden;  // so the first backup is hidden too
    AdapterConfigList list;
    list.append(makeRecord({0x52, 0x54, 0x00, 0xab, 0xcd, 0xef}, {L"10.0.0.5"}, L"10.0.0.1", L"255.255.255.0"));
    ASSERT_EQ(writeConfigIni(&list), 1);
    const std::string afterFirst = readFile(iniPath);
    ASSERT_NE(afterFirst, kExisting);
    const auto time = std::filesystem::last_write_time(iniPath) - std::chrono::hours(1);
    std::filesystem::last_write_time(iniPath, time);
    EXPECT_EQ(writeConfigIni(&list), 1);
    EXPECT_EQ(readFile(iniPath), afterFirst);
    EXPECT_EQ(std::filesystem::last_write_time(iniPath), time);
    EXPECT_EQ(readFile(backupPath), afterFirst);
    EXPECT_FALSE(fileExistsOnDisk(iniPath + ".new"));
}

TEST_F(WriterTest, EmptyListBacksUpAndChangesNothing) {
    writeFile(iniPath, kExisting);
    writeFile(backupPath, "an older backup, overwritten");
    sim::fileAttributes()[backupPath] = sim::kReadOnly;
    AdapterConfigList list;
    EXPECT_EQ(writeConfigIni(&list), 1);
    EXPECT_EQ(readFile(iniPath), kExisting);
    EXPECT_EQ(readFile(backupPath), kExisting);
}

TEST_F(WriterTest, MissingFileIsReportedFirstAndNothingIsCreated) {
    AdapterConfigList list;
    list.append(makeRecord({1, 2, 3, 4, 5, 6}, {L"10.0.0.5"}, L"10.0.0.1", L"255.255.255.0"));
    EXPECT_EQ(writeConfigIni(&list), 0);
    EXPECT_EQ(writeConfigIni(nullptr), 0);
    EXPECT_EQ(logText(), "config file not exist\nconfig file not exist\n");
    EXPECT_FALSE(fileExistsOnDisk(iniPath));
    EXPECT_FALSE(fileExistsOnDisk(backupPath));
}

TEST_F(WriterTest, NoListIsReportedBeforeAnyBackup) {
    writeFile(iniPath, kExisting);
    EXPECT_EQ(writeConfigIni(nullptr), 0);
    EXPECT_EQ(logText(), "config is null\n");
    EXPECT_FALSE(fileExistsOnDisk(backupPath));
    EXPECT_EQ(readFile(iniPath), kExisting);
}

TEST_F(WriterTest, FailedBackupStopsBeforeAnyKeyAndKeepsTheLastBackup) {
    writeFile(iniPath, kExisting);
    writeFile(backupPath, "the last backup");
    sim::failFileCalls("copy", 1, 112);  // a full disk
    AdapterConfigList list;
    list.append(makeRecord({1, 2, 3, 4, 5, 6}, {L"10.0.0.5"}, L"10.0.0.1", L"255.255.255.0"));
    EXPECT_EQ(writeConfigIni(&list), 0);
    EXPECT_EQ(logText(), "backup config file fail\n");
    EXPECT_EQ(readFile(iniPath), kExisting);
    EXPECT_EQ(readFile(backupPath), "the last backup");
}

TEST_F(WriterTest, AFailedKeyWriteOrReplaceLeavesTheFileAsItWas) {
    writeFile(iniPath, kExisting);
    AdapterConfigList list = oneAdapter();
    list.append(makeRecord({1, 2, 3, 4, 5, 6}, {L"10.0.0.5"}, L"10.0.0.1", L"255.255.255.0"));
    sim::failProfileWrite(8);  // the second record's "ip"
    EXPECT_EQ(writeConfigIni(&list), 0);
    EXPECT_EQ(readFile(iniPath), kExisting);
    // Stopped half way, the file taken away, and the working copy cannot
    // take its place either: this run's backup does.
    sim::failFileCalls("replace", 1, 1177);
    sim::failFileCalls("move", 3, 5);  // the working copy's, after two backups
    EXPECT_EQ(writeConfigIni(&list), 0);
    EXPECT_EQ(readFile(iniPath), kExisting);
    EXPECT_FALSE(fileExistsOnDisk(iniPath + ".new"));
    EXPECT_EQ(newLog(), "replace config file fail (error 1177)\nconfig file put back from the backup " + backupPath + "\n");
    // Put back by the working copy, whole: saved after all.
    sim::failFileCalls("replace", 2, 1177);
    EXPECT_EQ(writeConfigIni(&list), 1);
    const std::string saved = readFile(iniPath);
    EXPECT_EQ(newLog(), "replace config file fail (error 1177)\nconfig file put back from the working copy " + iniPath + ".new\n");
    // Held open a moment (a scanner): asked again 100 ms later.
    writeFile(iniPath, kExisting);
    sim::failFileCalls("replace", 3, 32, 2);
    EXPECT_EQ(writeConfigIni(&list), 1);
    EXPECT_EQ(readFile(iniPath), saved);
    EXPECT_EQ(sim::sleepsTaken(), std::vector<unsigned>(2, 100));
    EXPECT_FALSE(fileExistsOnDisk(iniPath + ".old") || fileExistsOnDisk(iniPath + ".new"));
    // Neither can: the working copy stays, and the next run puts it back.
    writeFile(iniPath, kExisting);
    sim::failFileCalls("replace", 6, 1177);
    sim::failFileCalls("move", 8, 5);
    sim::failFileCalls("copy", 12, 112);
    EXPECT_EQ(writeConfigIni(&list), 0);
    EXPECT_EQ(enableLocalNetwork(), 1);
    EXPECT_EQ(readFile(iniPath), saved);
    // The saved file held open (1175: both files as they were): asked again.
    writeFile(iniPath, kExisting);
    sim::failFileCalls("replace", 7, 1175);
    EXPECT_EQ(writeConfigIni(&list), 1);
    EXPECT_EQ(readFile(iniPath), saved);
}

// Odd or hostile saved files: the writer keeps an exact backup and leaves
// every other section readable as it was.

TEST_F(WriterTest, WriterKeepsAnExactBackupAndTheOtherSectionsReadable) {
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
    EXPECT_EQ(sim::commandsStarted()[0], L"route add 169.254.0.0 mask 255.255.128.0 10.0.0.1");
}

TEST_F(WriterTest, HeaderNamesRunToTheLastBracket) {
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

TEST_F(WriterTest, ByteOrderMarkBehindBlanksStillLeavesAnExactBackup) {
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
