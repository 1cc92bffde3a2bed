#include <cstdio>
#include <cstdlib>
#include <share.h>

#include "platform/system.h"
#include "platform/win32/win.h"

namespace platform {

std::optional<unsigned> osMajorVersion() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);  // the 276-byte wide record
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    // The plain version record is all we need: older systems than 6 choose
    // another form of one netsh command.
    if (!::GetVersionExW(&info)) return std::nullopt;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return static_cast<unsigned>(info.dwMajorVersion);
}

LocalTime localTime() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

void sleepMilliseconds(unsigned milliseconds) { ::Sleep(milliseconds); }

namespace {
// False while a failed reopening has left standard output closed: writing
// to a closed stream is not something to leave to the C runtime.
bool outputOpen = true;
}  // namespace

void redirectOutputToLog(const std::wstring& logPath) {
    // The C runtime opens files shareable for reading and writing, so the log
    // can be watched while a run is under way.
    std::fflush(stdout);
    outputOpen = _wfreopen(logPath.c_str(), L"a", stdout) != nullptr;
}

void restoreConsoleOutput() {
    if (outputOpen) std::fflush(stdout);
    outputOpen = _wfreopen(L"CON", L"w", stdout) != nullptr;
}

std::FILE* output() { return outputOpen ? stdout : nullptr; }

void waitForKey() { (void)std::system("pause"); }

}  // namespace platform
