#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <share.h>

#include "platform/system.h"
#include "platform/win32/account.h"
#include "platform/win32/stop.h"
#include "platform/win32/win.h"

#include <aclapi.h>
#include <sddl.h>

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

bool runsAsSystemAccount() {
    const std::vector<unsigned char> user = win32::processUser();
    return !user.empty() &&
           ::IsWellKnownSid(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid, WinLocalSystemSid);
}

// GetTickCount, not its 64-bit successor, which older systems lack.
std::uint32_t tickMilliseconds() { return ::GetTickCount(); }

namespace {

// The lock is one that no account but the system account and administrators
// can make, hold or shut anyone out of: any other could otherwise make it
// first and hold up every later run (or, shutting the system account out,
// switch it off). Only they may open it, and its owner is the Administrators
// group, which no other account can name as the owner of what it makes.
constexpr wchar_t kLockSecurity[] = L"O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)";

// From version 6 on it lives in a private namespace whose boundary requires
// the Administrators group, which no other account can make or open: one for
// every session, so that a start-up task of the system account and an
// elevated administrator at a console wait for each other.
constexpr wchar_t kNamespace[] = L"addrsmith";
constexpr wchar_t kNamespacedLockName[] = L"addrsmith\\run";
// Older systems (and Wine 8) have no private namespaces: there it is a name
// of the whole machine, which any account could have taken first, so a lock
// that another account made is not waited for.
constexpr wchar_t kGlobalLockName[] = L"Global\\addrsmith.run";

// The namespace calls of version 6, looked up when needed so that the
// program still starts on version 5.
using CreateBoundaryDescriptorCall = HANDLE(WINAPI*)(LPCWSTR, ULONG);
using AddSidToBoundaryDescriptorCall = BOOL(WINAPI*)(HANDLE*, PSID);
using DeleteBoundaryDescriptorCall = VOID(WINAPI*)(HANDLE);
using CreatePrivateNamespaceCall = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
using OpenPrivateNamespaceCall = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
using ClosePrivateNamespaceCall = BOOLEAN(WINAPI*)(HANDLE, ULONG);

template <typename Call>
Call kernelCall(const char* name) {
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const FARPROC found = kernel != nullptr ? ::GetProcAddress(kernel, name) : nullptr;
    return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
}

struct CloseNamespace {
    // Closed, not destroyed: other runs may be waiting in it.
    void operator()(HANDLE space) const {
        if (const auto close = kernelCall<ClosePrivateNamespaceCall>("ClosePrivateNamespace")) close(space, 0);
    }
};
using NamespaceHandle = win32::Owned<HANDLE, CloseNamespace, nullptr>;

// Open only while the lock is held.
NamespaceHandle lockNamespace;
win32::KernelHandle runLock;

// Makes or opens the namespace. 0, ERROR_CALL_NOT_IMPLEMENTED where the
// system has none, or the system's code (an account outside the boundary).
unsigned long openLockNamespace(SECURITY_ATTRIBUTES& security) {
    const auto createBoundary = kernelCall<CreateBoundaryDescriptorCall>("CreateBoundaryDescriptorW");
    const auto addSid = kernelCall<AddSidToBoundaryDescriptorCall>("AddSIDToBoundaryDescriptor");
    const auto deleteBoundary = kernelCall<DeleteBoundaryDescriptorCall>("DeleteBoundaryDescriptor");
    const auto create = kernelCall<CreatePrivateNamespaceCall>("CreatePrivateNamespaceW");
    const auto open = kernelCall<OpenPrivateNamespaceCall>("OpenPrivateNamespaceW");
    if (!createBoundary || !addSid || !deleteBoundary || !create || !open) return ERROR_CALL_NOT_IMPLEMENTED;
    HANDLE boundary = createBoundary(kNamespace, 0);
    if (boundary == nullptr) return ::GetLastError() != 0 ? ::GetLastError() : ERROR_CALL_NOT_IMPLEMENTED;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    unsigned long error = 0;
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !addSid(&boundary, administrators)) {
        error = ::GetLastError();
    }
    // The first run makes it, the others open it; one whose last run ended
    // just then is gone before it opens, and made anew.
    for (int tries = 0; error == 0 && !lockNamespace && tries < 3; ++tries) {
        lockNamespace = NamespaceHandle(create(&security, boundary, kNamespace));
        if (lockNamespace) break;
        error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS) break;
        lockNamespace = NamespaceHandle(open(boundary, kNamespace));
        error = lockNamespace ? 0 : ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) error = 0;
    }
    deleteBoundary(boundary);
    if (!lockNamespace && error == 0) error = ERROR_PATH_NOT_FOUND;
    return error;
}

// Whether the object was made by the system account or an administrator
// (whose runs make it with the Administrators group as its owner).
bool madeBySystemOrAdministrators(HANDLE object) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                          nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const win32::LocalMemory held(descriptor);
    return win32::isSystemOrAdministrators(owner);
}

// The machine-wide lock of the older systems: made, or another run's opened
// when the system account or an administrator made it. Without a lock to
// wait for, nothing, and `result` says why.
HANDLE openGlobalLock(SECURITY_ATTRIBUTES& security, RunLockResult& result) {
    HANDLE mutex = ::CreateMutexW(&security, FALSE, kGlobalLockName);
    if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
        // Made by a run whose lock lets us wait on it but not more (one of
        // an earlier version). Waiting and letting go take SYNCHRONIZE only,
        // reading its owner READ_CONTROL.
        mutex = ::OpenMutexW(SYNCHRONIZE | READ_CONTROL, FALSE, kGlobalLockName);
        // Every run's lock lets the system account and administrators in
        // that far: one that shuts them out is another account's. The
        // error is kept first: the account's check makes calls of its own.
        const unsigned long error = mutex == nullptr ? ::GetLastError() : 0;
        if (error == ERROR_ACCESS_DENIED && win32::runsAsSystemOrAdministrators()) {
            result.outcome = RunLock::Foreign;
            return nullptr;
        }
        ::SetLastError(error);
    }
    if (mutex == nullptr) {
        result.errorCode = ::GetLastError();
        return nullptr;
    }
    if (!madeBySystemOrAdministrators(mutex)) {
        ::CloseHandle(mutex);
        result.outcome = RunLock::Foreign;
        return nullptr;
    }
    return mutex;
}

}  // namespace

RunLockResult acquireRunLock(unsigned milliseconds) {
    RunLockResult result;
    releaseRunLock();
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockSecurity, SDDL_REVISION_1,
                                                               &security.lpSecurityDescriptor, nullptr)) {
        result.errorCode = ::GetLastError();
        return result;
    }
    const win32::LocalMemory descriptor(security.lpSecurityDescriptor);

    HANDLE mutex = nullptr;
    const unsigned long namespaceError = openLockNamespace(security);
    if (namespaceError == ERROR_CALL_NOT_IMPLEMENTED) {
        mutex = openGlobalLock(security, result);
    } else if (namespaceError != 0) {
        result.errorCode = namespaceError;
    } else if ((mutex = ::CreateMutexW(&security, FALSE, kNamespacedLockName)) == nullptr) {
        result.errorCode = ::GetLastError();
    }
    if (mutex == nullptr) {
        lockNamespace.reset();
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
    releaseRunLock();
    return result;
}

unsigned long releaseRunLock() {
    unsigned long errorCode = 0;
    if (runLock && !::ReleaseMutex(runLock.get())) errorCode = ::GetLastError();
    runLock.reset();
    lockNamespace.reset();
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
