#include "savedconfig/writer.h"

#include <cwchar>

#include "core/run_log.h"
#include "core/settings.h"
#include "platform/files.h"

std::wstring macToText(const std::uint8_t* mac) {
    wchar_t text[32] = {};
    std::swprintf(text, 32, L"%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>(mac[0]),
                  static_cast<unsigned>(mac[1]), static_cast<unsigned>(mac[2]),
                  static_cast<unsigned>(mac[3]), static_cast<unsigned>(mac[4]),
                  static_cast<unsigned>(mac[5]));
    return text;
}

int writeConfigIni(const AdapterConfigList* desired) {
    const Settings& paths = settings();
    // The file is only ever updated, never created: without it there is no
    // eth0 gateway for the next run either.
    if (!platform::fileExists(paths.iniFile)) {
        logWide(L"config file not exist\n");
        return 0;
    }
    if (desired == nullptr) {
        logWide(L"config is null\n");
        return 0;
    }
    if (!platform::copyFileOver(paths.iniFile, paths.backupFile)) {
        logWide(L"backup config file fail\n");
        return 0;
    }

    for (const AdapterConfig& record : *desired) {
        const std::wstring mac = macToText(record.mac);
        const std::wstring section = L"eth:" + mac;

        std::wstring ips;
        if (record.ipList) {
            for (const std::wstring& ip : *record.ipList) {
                if (!ips.empty()) ips += L",";
                ips += ip;
            }
        }

        const std::wstring keys[6][2] = {
            {L"mac", mac},
            {L"ip", ips},
            {L"gateway", record.gateway},
            {L"mask", record.mask},
            {L"dhcp", L"0"},
            {L"disabled", L"0"},
        };
        // What was written before a failure stays: nothing is ever deleted.
        for (const auto& key : keys) {
            if (!platform::writeProfileString(paths.iniFile, section, key[0], key[1])) return 0;
        }
    }
    return 1;
}
