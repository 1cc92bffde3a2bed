#include "savedconfig/writer.h"

#include <cwchar>

#include "core/run_log.h"
#include "core/settings.h"
#include "platform/files.h"
#include "platform/system.h"

std::wstring macToText(const std::uint8_t* mac) { return hardwareAddressText(mac, L':', true); }

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

// A file held open by a scanner or an indexer for a moment makes the replace
// fail (the working copy in use: 32 or 5; the saved file: 1175, which
// Windows leaves as it was); it is tried again a few times before the save
// counts as failed.
constexpr unsigned kReplaceTries = 6;
constexpr unsigned kReplaceRetryMilliseconds = 100;

// The new backup takes the old one's place in one step, once it is whole: a
// copy that fails (a full disk) leaves the old backup, never none. A copy
// left by a killed run goes first, since the system will not copy over a
// hidden or read-only file, which a copy of a hidden saved file is.
bool backUp(const Settings& paths) {
    const std::wstring fresh = paths.backupFile + L".new";
    platform::removeFile(fresh);
    if (platform::copyFileOver(paths.iniFile, fresh) && platform::moveFileOver(fresh, paths.backupFile) == 0) {
        return true;
    }
    platform::removeFile(fresh);
    return false;
}

// After a failed replace that took the saved file away: the working copy,
// whole and flushed, takes its place, or failing that this run's backup.
// 1 when the working copy did (the settings are saved after all).
int putBackSavedFile(const Settings& paths, const std::wstring& work) {
    const unsigned long moved = platform::moveFileOver(work, paths.iniFile);
    if (moved == 0) {
        logWide(L"config file put back from the working copy %ls\n", work.c_str());
        return 1;
    }
    if (platform::copyFileOver(paths.backupFile, paths.iniFile)) {
        logWide(L"config file put back from the backup %ls\n", paths.backupFile.c_str());
    } else {
        logWide(L"config file missing, the working copy %ls kept for the next run (error %lu)\n", work.c_str(),
                moved);
    }
    return 0;
}

int replaceSavedFile(const Settings& paths, const std::wstring& work) {
    // Where the system leaves the saved file should the replace stop half way.
    const std::wstring replaced = paths.iniFile + L".old";
    platform::removeFile(replaced);
    unsigned long error = 0;
    for (unsigned tries = 1;; ++tries) {
        error = platform::replaceFile(paths.iniFile, work, replaced);
        const bool held = error == platform::kSharingViolation || error == platform::kAccessDenied ||
                          error == platform::kUnableToRemoveReplaced;
        if (!held || tries == kReplaceTries) {
            break;
        }
        platform::sleepMilliseconds(kReplaceRetryMilliseconds);
    }
    int result = error == 0 ? 1 : 0;
    if (error != 0) {
        logWide(L"replace config file fail (error %lu)\n", error);
        if (!platform::fileExists(paths.iniFile)) result = putBackSavedFile(paths, work);
    }
    // Nothing goes that the saved file may still need.
    if (platform::fileExists(paths.iniFile)) {
        platform::removeFile(work);
        platform::removeFile(replaced);
    }
    return result;
}

// Where a save writes before the copy takes the saved file's place.
std::wstring workingCopyPath() { return settings().iniFile + L".new"; }

}  // namespace

int restoreSavedFile() {
    const Settings& paths = settings();
    const std::wstring work = workingCopyPath();
    if (platform::fileExists(paths.iniFile) || !platform::fileExists(work)) return 0;
    // A run stopped inside the replace (killed, a shutdown, a power cut) left
    // no saved file, but the working copy beside it is whole and flushed:
    // the replace only starts once it is. One without the gateway the next
    // step needs is no saved file either.
    if (platform::readProfileString(work, L"eth0", L"GATEWAY", L"", 2).count == 0) {
        logWide(L"config file working copy %ls not put back: it has no [eth0] GATEWAY\n", work.c_str());
        return 0;
    }
    const unsigned long error = platform::moveFileOver(work, paths.iniFile);
    if (error != 0) {
        logWide(L"config file working copy %ls not put back (error %lu)\n", work.c_str(), error);
        return 0;
    }
    logWide(L"config file missing, put back from its working copy %ls\n", work.c_str());
    return 1;
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
    if (!backUp(paths)) {
        logWide(L"backup config file fail\n");
        return 0;
    }

    // Each private-profile write rewrites its whole file, so the writes go to
    // a working copy beside the saved file, which then takes its place in one
    // step: a run killed or a power cut at any moment leaves the saved file
    // either as it was or as meant, never half new or empty. A working copy
    // that a killed run left behind goes first, like the backup's.
    const std::wstring work = workingCopyPath();
    platform::removeFile(work);
    if (!platform::copyFileOver(paths.iniFile, work) || !writeRecords(*desired, work)) {
        platform::removeFile(work);
        return 0;
    }
    platform::flushProfileWrites(work);
    // Settings already saved, as at most boots: the saved file is not touched.
    const auto before = platform::readFileBytes(paths.iniFile);
    if (before && before == platform::readFileBytes(work)) {
        platform::removeFile(work);
        return 1;
    }
    return replaceSavedFile(paths, work);
}
