#include "core/command_runner.h"

#include "core/run_log.h"
#include "platform/process.h"
#include "platform/system.h"

namespace {
constexpr unsigned kWaitMilliseconds = 2000;
constexpr unsigned kMaxWaits = 15;
// Where the system's programs live on a standard install, as command lines
// have always named it.
constexpr wchar_t kStandardSystemFolder[] = L"c:\\windows\\system32";

wchar_t lowerAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool sameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}
}  // namespace

std::wstring systemProgramPath(const wchar_t* fileName) {
    std::wstring folder = platform::systemDirectory().value_or(kStandardSystemFolder);
    if (folder.empty() || folder.back() != L'\\') folder += L'\\';
    return folder + fileName;
}

std::wstring commandLineName(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos && sameIgnoringCase(path.substr(0, slash), kStandardSystemFolder)) {
        return kStandardSystemFolder + path.substr(slash);
    }
    if (path.find(L' ') != std::wstring::npos) return L"\"" + path + L"\"";
    return path;
}

void runCommand(const std::wstring& program, wchar_t* commandLine) {
    // In the log before the child starts, so a child that hangs the machine
    // still leaves its command behind.
    logWide(L"%ls\n", commandLine);
    logFlush();

    const platform::StartResult started = platform::startHiddenChild(program, commandLine);
    if (!started.child) {
        logNarrow("CreateProcess failed (%d)\n", static_cast<int>(started.errorCode));
        return;
    }

    // A failed wait counts like a time-out; a child we give up on keeps
    // running on its own.
    unsigned count = 0;
    for (;;) {
        if (platform::waitForChild(*started.child, kWaitMilliseconds) == platform::WaitOutcome::Ended) {
            logWide(L"wait %ls  successfully\n", commandLine);
            break;
        }
        ++count;
        logWide(L"wait %ls  count=%d\n", commandLine, static_cast<int>(count));
        if (count == kMaxWaits) {
            logWide(L"wait %ls  timed out\n", commandLine);
            break;
        }
    }
    platform::releaseChild(*started.child);
}
