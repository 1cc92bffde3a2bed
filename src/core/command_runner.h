#pragma once

#include <string>

// Runs `program` (a full path) with one command line as a hidden child,
// waiting at most fifteen times 2000 ms, and logs the command line and its
// outcome. The buffer is the caller's (260 wide characters) and may be
// changed by the system while it parses it.
void runCommand(const std::wstring& program, wchar_t* commandLine);

// The full path of one of the system's own programs (netsh.exe, route.exe).
// The program runs as the system account at every boot, so its commands are
// started by this path and never by a bare name, which the system would
// first look for beside addrsmith.exe and in the current directory.
std::wstring systemProgramPath(const wchar_t* fileName);

// How a command line names that program: on a standard install the usual
// "c:\windows\system32\..." text, elsewhere its path, in double quotes
// when it holds a blank.
std::wstring commandLineName(const std::wstring& path);
