#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <share.h>

#include "platform/system.h"
#include "platform/win32/stop.h"
#include "platform/win32/win.h"

#include <ntsecapi.h>
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
// "Global\": one lock for every session, so that a start-up task running as
// the system account and an administrator's run at a console exclude each
// other.
constexpr wchar_t kRunLockName[] = L"Global\\addrsmith.run";
// Open only while the lock is held.
win32::KernelHandle runLock;
}  // namespace

RunLockResult acquireRunLock(unsigned milliseconds) {
    RunLockResult result;
    releaseRunLock();
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, kRunLockName);
    if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
        // Made by a run under another account, whose default security lets
        // others wait on it but not open it for everything. Letting it go is
        // documented to need MUTEX_MODIFY_STATE; where even that is refused,
        // waiting on it is still worth more than no lock.
        mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kRunLockName);
        if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
            mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, kRunLockName);
        }
    }
    if (mutex == nullptr) {
        result.errorCode = ::GetLastError();
        return result;
    }
    runLock = win32::KernelHandle(mutex);
    // The service's run waits for the lock, but not through a stop.
    const HANDLE waitOn[2] = {mutex, win32::stopEvent()};
    switch (::WaitForMultipleObjects(waitOn[1] != nullptr ? 2 : 1, waitOn, FALSE, milliseconds)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED_0:  // the run that held it died; the system let it go
        result.outcome = RunLock::Held;
        return result;
    case WAIT_OBJECT_0 + 1:
        result.outcome = RunLock::Stopped;
        break;
    case WAIT_TIMEOUT:
        result.outcome = RunLock::TimedOut;
        break;
    default:
        result.errorCode = ::GetLastError();
        break;
    }
    runLock.reset();
    return result;
}

unsigned long releaseRunLock() {
    unsigned long errorCode = 0;
    if (runLock && !::ReleaseMutex(runLock.get())) errorCode = ::GetLastError();
    runLock.reset();
    return errorCode;
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
