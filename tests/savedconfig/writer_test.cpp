#include <sys/stat.h>

#include <memory>
#include <vector>

#include "savedconfig/writer.h"
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
    AdapterConfigList list;
    list.append(makeRecord({0x52, 0x54, 0x00, 0xab, 0xcd, 0xef}, {L"10.0.0.5"}, L"10.0.0.1", L"255.255.255.0"));
    ASSERT_EQ(writeConfigIni(&list), 1);
    const std::string afterFirst = readFile(iniPath);
    ASSERT_NE(afterFirst, kExisting);
    EXPECT_EQ(writeConfigIni(&list), 1);
    EXPECT_EQ(readFile(iniPath), afterFirst);
    EXPECT_EQ(readFile(backupPath), afterFirst);
}

TEST_F(WriterTest, EmptyListBacksUpAndChangesNothing) {
    writeFile(iniPath, kExisting);
    writeFile(backupPath, "an older backup, overwritten");
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

TEST_F(WriterTest, FailedBackupStopsBeforeAnyKey) {
    writeFile(iniPath, kExisting);
    ASSERT_EQ(::mkdir(backupPath.c_str(), 0700), 0);  // a folder cannot be copied over
    AdapterConfigList list;
    list.append(makeRecord({1, 2, 3, 4, 5, 6}, {L"10.0.0.5"}, L"10.0.0.1", L"255.255.255.0"));
    EXPECT_EQ(writeConfigIni(&list), 0);
    EXPECT_EQ(logText(), "backup config file fail\n");
    EXPECT_EQ(readFile(iniPath), kExisting);
}
