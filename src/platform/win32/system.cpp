#include <cstdio>
#include <cstdlib>
#include <io.h>
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

void sleepMilliseconds(unsigned milliseconds) { ::Sleep(milliseconds); }

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
    switch (::WaitForSingleObject(mutex, milliseconds)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // the run that held it died; the system let it go
        result.outcome = RunLock::Held;
        return result;
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
    if (outputBefore < 0 && hasRealHandle(_fileno(stdout))) outputBefore = _dup(_fileno(stdout));
    outputOpen = _wfreopen(logPath.c_str(), L"a", stdout) != nullptr;
}

void restoreConsoleOutput() {
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

std::FILE* output() { return outputOpen ? stdout : nullptr; }

void waitForKey() { (void)std::system("pause"); }

}  // namespace platform
