#include "support/sim_test.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "core/settings.h"
#include "platform/system.h"
#include "sim/sim.h"

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExistsOnDisk(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::wstring widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

void SimTest::SetUp() {
    char pattern[] = "/tmp/addrsmith-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    ASSERT_NE(made, nullptr);
    dir = made;
    logPath = dir + "/ipconfig_addrsmith.log";
    iniPath = dir + "/ipconfig_xen_vm.ini";
    backupPath = dir + "/ipconfig_xen_vm_backup.ini";
    consolePath = dir + "/console.txt";

    sim::reset();
    resetSettings();
    legacyOs = 0;
    settings().runLog = widen(logPath);
    settings().iniFile = widen(iniPath);
    settings().backupFile = widen(backupPath);
    settings().lastRunFile = widen(dir + "/ipconfig_addrsmith_lastrun.ini");
    settings().metadataBaseUrl = L"http://169.254.0.254";
    sim::setConsoleFile(consolePath);
    // Steps tested on their own log into the run log as if a run were on.
    platform::redirectOutputToLog(settings().runLog);
}

void SimTest::TearDown() {
    sim::reset();
    const std::string command = "rm -rf '" + dir + "'";
    (void)std::system(command.c_str());
}

std::string SimTest::logText() {
    if (std::FILE* out = platform::output()) std::fflush(out);
    return readFile(logPath);
}

std::string SimTest::newLog() {
    const std::string all = logText();
    const std::string fresh = all.substr(std::min(logSeen_, all.size()));
    logSeen_ = all.size();
    return fresh;
}

std::string SimTest::consoleText() {
    if (std::FILE* out = platform::output()) std::fflush(out);
    return readFile(consolePath);
}
