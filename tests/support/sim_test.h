// Common ground for native tests: a fresh simulated machine, the program's
// files in a temporary folder of the test's own, and the run log captured.
#pragma once

#include <gtest/gtest.h>

#include <string>

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExistsOnDisk(const std::string& path);
std::wstring widen(const std::string& text);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Everything written to the run log (or, outside a run, to the capture
    // stream the fixture opened) so far.
    std::string logText();
    // What the log gained since the last call.
    std::string newLog();
    std::string consoleText();

    std::string dir;          // the test's own folder
    std::string logPath;      // the run log
    std::string iniPath;      // the saved configuration file
    std::string backupPath;   // its backup
    std::string consolePath;  // where the console goes

private:
    std::size_t logSeen_ = 0;
};
