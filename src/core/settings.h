// The fixed places the program works with. The program itself never changes
// them; tests point them at a folder of their own.
#pragma once

#include <string>

struct Settings {
    std::wstring runLog = L"c:\\windows\\ipconfig_addrsmith.log";
    std::wstring iniFile = L"c:\\windows\\ipconfig_xen_vm.ini";
    std::wstring backupFile = L"c:\\windows\\ipconfig_xen_vm_backup.ini";
    // The last run's time, reason, outcome and closing line, for --status.
    std::wstring lastRunFile = L"c:\\windows\\ipconfig_addrsmith_lastrun.ini";
    std::wstring metadataBaseUrl;  // from the build, see build_config.h
    std::wstring version;          // the program's own, from the build too
};

// The process-wide settings, initialised with the fixed defaults.
Settings& settings();
void resetSettings();

// Set by the entry before the run when the system is older than major
// version 6; chooses the form of the set-address command.
extern int legacyOs;
