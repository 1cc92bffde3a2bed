// The machine of the whole runs and the service's lives: a main adapter,
// Ethernet 2 listed and stale, Ethernet 3 listed and showing up late.
#pragma once

#include "adapters/test_records.h"
#include "support/sim_test.h"

inline const std::wstring kBase = L"http://169.254.0.254/meta-data";
inline const std::wstring kMacs = kBase + L"/network/interfaces/macs/";
inline const std::string kIni = "[eth0]\r\nGATEWAY=10.0.0.1\r\n";

inline const std::vector<std::uint8_t> kMainMac{0x52, 0x54, 0x00, 0x00, 0x00, 0x01};

class WholeRunTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        writeFile(iniPath, kIni);
        sim::setHttpBody(kBase + L"/mac", "52:54:00:00:00:01");
        sim::setHttpBody(kMacs, "52:54:00:00:00:01/\n52:54:00:ab:cd:ef/\n52:54:00:01:02:03/\n");
        // The primary address is listed second; it must still lead.
        serve(L"52:54:00:ab:cd:ef", "10.0.1.5", "10.0.1.6/\n10.0.1.5/\n", "10.0.1.1",
              "255.255.255.0");
        serve(L"52:54:00:01:02:03", "10.0.2.5", "10.0.2.5/\n", "10.0.2.1", "255.255.0.0");

        sim::setAdapters({adapterWith(L"Ethernet", kMainMac, {"10.0.0.5"}, 24, "10.0.0.1"),
                          adapterWith(L"Ethernet 2", kMacA, {"192.168.5.5"}, 24, "192.168.5.1")});
        // The second adapter shows up during the first wait.
        sim::addAdapterFromQuery(2, adapterWith(L"Ethernet 3", kMacB, {}, 0, ""));
    }

    void serve(const std::wstring& mac, const std::string& primary, const std::string& ips,
               const std::string& gateway, const std::string& mask) {
        const std::wstring at = kMacs + mac + L"/";
        sim::setHttpBody(at + L"primary-local-ipv4/", primary);
        sim::setHttpBody(at + L"local-ipv4s/", ips);
        sim::setHttpBody(at + L"local-ipv4s/" + widen(primary) + L"/gateway", gateway);
        sim::setHttpBody(at + L"local-ipv4s/" + widen(primary) + L"/subnet-mask", mask);
    }

    bool ranCommandNaming(const std::wstring& name) {
        for (const std::wstring& c : sim::commandsStarted()) {
            if (c.find(L"name=\"" + name + L"\"") != std::wstring::npos) return true;
        }
        return false;
    }
};
