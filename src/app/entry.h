#pragma once

#include <optional>
#include <string>
#include <vector>

// What the command line asks for. These are the only arguments the program
// reads: with none, or with any others, it runs once as at every boot.
enum class Command { Run, Help, InstallService, RemoveService, Service, Status, Plan, Invalid };

struct CommandLine {
    Command command = Command::Run;
    std::optional<unsigned> intervalSeconds;  // --interval, when given
    std::wstring error;                       // with Invalid: what is wrong
    bool json = false;                        // --json, with Status and Plan
};

CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The service's command line as the service manager starts it: the program
// quoted, whatever its path holds, so that no part of a path with a space
// can be taken for a program of its own.
std::wstring serviceCommandLine(const std::wstring& programPath, std::optional<unsigned> intervalSeconds);

// The interval a service started with this command line checks at.
unsigned serviceIntervalSeconds(const std::wstring& commandLine);

// The program: the arguments without the program's own name. Its exit
// status: 0, or 1 when installing or removing failed, 2 for bad arguments;
// --status and --plan have their own (see operator.h).
int programMain(const std::vector<std::string>& arguments);
