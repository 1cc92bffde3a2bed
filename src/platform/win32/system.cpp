#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <share.h>

#include "platform/system.h"
#include "platform/win32/account.h"
#include "platform/win32/stop.h"
#include "platform/win32/win.h"

#include <sddl.h>

#include <ntsecapi.h>
#include <algorithm>
#include <vector>

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

std::optional<std::wstring> systemDirectory() {
    wchar_t path[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return std::nullopt;
    return std::wstring(path, length);
}

void removeCurrentDirectoryFromDllSearch() {
    // An empty folder takes the current directory out of the search: a
    // library planted there must never load into a run of the system account.
    ::SetDllDirectoryW(L"");
}

}  // namespace platform

namespace win32 {
namespace {
// Made by the service before its work starts; nothing in a run from the
// console, which no stop ever reaches.
KernelHandle stop;
}  // namespace

HANDLE stopEvent() { return stop.get(); }

bool createStopEvent() {
    if (!stop) stop = KernelHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return bool(stop);
}

void signalStop() {
    if (stop) ::SetEvent(stop.get());
}
}  // namespace win32

namespace platform {

void sleepMilliseconds(unsigned milliseconds) {
    if (const HANDLE stop = win32::stopEvent()) {
        ::WaitForSingleObject(stop, milliseconds);
    } else {
        ::Sleep(milliseconds);
    }
}

bool stopRequested() {
    const HANDLE stop = win32::stopEvent();
    return stop != nullptr && ::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
}

std::uint32_t randomNumber() {
    std::uint32_t number = 0;
    // The system's generator (advapi32's RtlGenRandom, there since XP). The
    // tick count is a poor stand-in, but spreads something where it fails.
    if (!::RtlGenRandom(&number, sizeof number)) number = ::GetTickCount();
    return number;
}

std::optional<std::wstring> executablePath() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    if (length == 0 || length >= buffer.size()) return std::nullopt;
    return std::wstring(buffer.data(), length);
}

// GetTickCount, not its 64-bit successor, which older systems lack.
std::uint32_t tickMilliseconds() { return ::GetTickCount(); }

namespace {

// The lock is a file in the Windows folder that a run holds open without
// sharing from its start to its closing line. Only that open handle locks:
// the system closes it when the run ends or dies, and a file left behind
// holds nobody up. Only the system account and administrators may make a
// file in that folder, and ours lets nobody else open it, so no other account
// can make, hold or block the lock; its owner is the Administrators group,
// which no other account can name as the owner of what it makes. One file
// for the whole machine: a start-up task of the system account and an
// elevated administrator in any session wait for each other.
constexpr wchar_t kLockSecurity[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
constexpr wchar_t kLockName[] = L"addrsmith.lock";
// How often a waiting run tries again: often enough that the next run
// follows at once, cheap enough for a wait of minutes.
constexpr unsigned kLockTryMilliseconds = 100;

// Open only while the lock is held.
win32::KernelHandle runLock;

// Held (the handle is in runLock then), TimedOut while another run holds
// it, or why there is none to wait for.
RunLockResult tryRunLock(const std::wstring& path, SECURITY_ATTRIBUTES& security) {
    // Reading is all a run asks, and its security is read through the same
    // handle; without sharing, nobody else may read, write or delete it
    // while it is open.
    const HANDLE opened =
        ::CreateFileW(path.c_str(), GENERIC_READ, 0, &security, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const unsigned long error = opened == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    if (opened != INVALID_HANDLE_VALUE) {
        win32::KernelHandle file(opened);
        // A file another account made (where it could), or that lets one
        // open it, may be held by that account for ever: not waited for.
        if (!win32::onlyTrustedMayOpen(file.get())) return RunLockResult{RunLock::Foreign, 0};
        runLock = std::move(file);
        return RunLockResult{RunLock::Held, 0};
    }
    if (error == ERROR_SHARING_VIOLATION) {
        // Held. A look at its security asks for nothing the sharing refuses.
        const HANDLE look = ::CreateFileW(path.c_str(), READ_CONTROL,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
        if (look != INVALID_HANDLE_VALUE && !win32::onlyTrustedMayOpen(win32::KernelHandle(look).get())) {
            return RunLockResult{RunLock::Foreign, 0};
        }
        return RunLockResult{RunLock::TimedOut, 0};
    }
    // Our file lets the system account and administrators in: one that
    // shuts them out is another account's. Anyone else is refused by the
    // folder or by our file.
    if (error == ERROR_ACCESS_DENIED && win32::runsAsSystemOrAdministrators()) {
        return RunLockResult{RunLock::Foreign, 0};
    }
    return RunLockResult{RunLock::Unavailable, error};
}

}  // namespace

RunLockResult acquireRunLock(unsigned milliseconds) {
    releaseRunLock();
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return RunLockResult{RunLock::Unavailable, ERROR_PATH_NOT_FOUND};
    std::wstring path(folder, length);
    if (path.back() != L'\\') path += L'\\';
    path += kLockName;
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1,
                                                               &security.lpSecurityDescriptor, nullptr)) {
        return RunLockResult{RunLock::Unavailable, ::GetLastError()};
    }
    const win32::LocalMemory descriptor(security.lpSecurityDescriptor);

    const DWORD start = ::GetTickCount();
    for (;;) {
        // A stop wins over a free lock: the service's run must not start
        // once it has been asked to end.
        if (stopRequested()) return RunLockResult{RunLock::Stopped, 0};
        const RunLockResult result = tryRunLock(path, security);
        if (stopRequested()) {
            releaseRunLock();
            return RunLockResult{RunLock::Stopped, 0};
        }
        const DWORD waited = ::GetTickCount() - start;
        if (result.outcome != RunLock::TimedOut || waited >= milliseconds) return result;
        sleepMilliseconds(std::min<DWORD>(kLockTryMilliseconds, milliseconds - waited));
    }
}

unsigned long releaseRunLock() {
    if (!runLock) return 0;
    return ::CloseHandle(runLock.release()) ? 0 : ::GetLastError();
}

namespace {
// False while a failed reopening has left standard output closed: writing
// to a closed stream is not something to leave to the C runtime.
bool outputOpen = true;
// A copy of what standard output was before the run (the console, or the
// file or pipe a caller captures it in), to give it back afterwards.
int outputBefore = -1;
// The run log as a stream of its own, where standard output has no
// descriptor to reopen (a service has no console): the C runtime refuses to
// reopen such a stream.
std::FILE* ownLog = nullptr;

// Started without a standard output, the C runtime may still count
// descriptor 1 as open, on a stand-in value that _dup happily copies; given
// back, that copy takes every line into nothing. Only a handle the system can
// tell the kind of is worth keeping. (Some runtimes give the stream no
// descriptor at all, -2, which no call here may be handed.)
bool hasRealHandle(int descriptor) {
    if (descriptor < 0) return false;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    return handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}
}  // namespace

void redirectOutputToLog(const std::wstring& logPath) {
    // The C runtime opens files shareable for reading and writing, so the log
    // can be watched while a run is under way.
    std::fflush(stdout);
    if (_fileno(stdout) < 0) {
        ownLog = _wfsopen(logPath.c_str(), L"a", _SH_DENYNO);
        outputOpen = ownLog != nullptr;
        return;
    }
    if (outputBefore < 0 && hasRealHandle(_fileno(stdout))) outputBefore = _dup(_fileno(stdout));
    outputOpen = _wfreopen(logPath.c_str(), L"a", stdout) != nullptr;
}

void restoreConsoleOutput() {
    if (ownLog != nullptr) {
        std::fclose(ownLog);
        ownLog = nullptr;
        outputOpen = false;  // nothing to give back: no console
        return;
    }
    if (outputOpen) std::fflush(stdout);
    if (outputBefore >= 0) {
        // Reopening on NUL closes the log (and gives the stream a descriptor
        // again if the log could not be opened), which then takes back what
        // standard output was.
        outputOpen = _wfreopen(L"NUL", L"w", stdout) != nullptr &&
                     _dup2(outputBefore, _fileno(stdout)) == 0;
        _close(outputBefore);
        outputBefore = -1;
        if (outputOpen) return;
    }
    // Nothing to give back (the program had no standard output): the console.
    outputOpen = _wfreopen(L"CON", L"w", stdout) != nullptr;
}

std::FILE* output() {
    if (!outputOpen) return nullptr;
    return ownLog != nullptr ? ownLog : stdout;
}

void waitForKey() { (void)std::system("pause"); }

}  // namespace platform
