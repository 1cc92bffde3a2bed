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

namespace {

// The six keys of every record, written to the working copy. 1 when every
// write succeeded.
int writeRecords(const AdapterConfigList& desired, const std::wstring& path) {
    for (const AdapterConfig& record : desired) {
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
        for (const auto& key : keys) {
            if (!platform::writeProfileString(path, section, key[0], key[1])) return 0;
        }
    }
    return 1;
}

}  // namespace

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
    // A copy carries the saved file's attributes along, and the system will
    // not copy over a hidden or read-only file: a hidden saved file would stop
    // every backup from the second run on. So the old backup goes first.
    platform::removeFile(paths.backupFile);
    if (!platform::copyFileOver(paths.iniFile, paths.backupFile)) {
        logWide(L"backup config file fail\n");
        return 0;
    }

    // Each private-profile write rewrites its whole file, so the writes go to
    // a working copy beside the saved file, which then takes its place in one
    // step: a run killed or a power cut at any moment leaves the saved file
    // either as it was or as meant, never half new or empty. A working copy
    // that a killed run left behind goes first, like the backup.
    const std::wstring work = paths.iniFile + L".new";
    platform::removeFile(work);
    if (!platform::copyFileOver(paths.iniFile, work) || !writeRecords(*desired, work)) {
        platform::removeFile(work);
        return 0;
    }
    // Settings already saved, as at most boots: the saved file is not touched.
    const auto before = platform::readFileBytes(paths.iniFile);
    if (before && before == platform::readFileBytes(work)) {
        platform::removeFile(work);
        return 1;
    }
    if (!platform::replaceFile(paths.iniFile, work)) {
        // A replace that failed half way may have taken the saved file away;
        // the backup is this run's exact copy of it.
        if (!platform::fileExists(paths.iniFile)) platform::copyFileOver(paths.backupFile, paths.iniFile);
        platform::removeFile(work);
        return 0;
    }
    return 1;
}
