#pragma once

// Runs one command line as a hidden child, waiting at most fifteen times
// 2000 ms, and logs the command and its outcome. The buffer is the caller's
// (260 wide characters) and may be changed by the system while it parses it.
void runCommand(wchar_t* commandLine);
