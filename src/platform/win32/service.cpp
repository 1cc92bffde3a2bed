// The service manager's side of the program: its dispatcher, the control
// handler, the status it is told, and installing and removing the service.
#include "platform/win32/win.h"

#include <string>
#include <utility>

#include "platform/service.h"
#include "platform/win32/account.h"
#include "platform/win32/stop.h"

namespace {

struct CloseServiceHandleOf {
    void operator()(SC_HANDLE handle) const { ::CloseServiceHandle(handle); }
};
using ServiceHandle = win32::Owned<SC_HANDLE, CloseServiceHandleOf, nullptr>;

// After a stop a run ends at its next step, and a command under way is given
// up on after 30 s at the most: a status that did not move meanwhile would be
// taken for a hung service. So the manager is told every second that the
// stop goes on, until the work has returned, and to expect the next word
// within a few seconds, which a busy machine may need.
constexpr DWORD kStopTickMilliseconds = 1000;
constexpr DWORD kStopWaitHintMilliseconds = 5000;

// Shared by the dispatcher's thread (the control handler) and the service's
// own thread (its work): the status under a lock.
struct Service {
    const wchar_t* name = nullptr;
    const std::function<int()>* work = nullptr;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    CRITICAL_SECTION lock;
    SERVICE_STATUS status{};
    HANDLE ticker = nullptr;  // the stop's timer, once asked for
    bool ended = false;       // the work has returned: no more ticks
};
Service service;

// Moves the status on and tells the manager; a stop-pending service counts
// its progress, a stopped one stays stopped.
void report(DWORD state, DWORD exitCode = NO_ERROR) {
    ::EnterCriticalSection(&service.lock);
    SERVICE_STATUS& s = service.status;
    if (s.dwCurrentState != SERVICE_STOPPED) {
        const bool stillStopping = state == SERVICE_STOP_PENDING && s.dwCurrentState == SERVICE_STOP_PENDING;
        s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        s.dwCurrentState = state;
        s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        s.dwWin32ExitCode = exitCode;
        s.dwCheckPoint = stillStopping ? s.dwCheckPoint + 1 : 0;
        s.dwWaitHint = state == SERVICE_STOP_PENDING ? kStopWaitHintMilliseconds : 0;
        ::SetServiceStatus(service.statusHandle, &s);
    }
    ::LeaveCriticalSection(&service.lock);
}

VOID CALLBACK tick(PVOID, BOOLEAN) { report(SERVICE_STOP_PENDING); }

DWORD WINAPI control(DWORD code, DWORD, LPVOID, LPVOID) {
    switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // Answered at once; the work sees the stop at its next wait or step.
        win32::signalStop();
        report(SERVICE_STOP_PENDING);
        ::EnterCriticalSection(&service.lock);
        if (service.ticker == nullptr && !service.ended) {
            ::CreateTimerQueueTimer(&service.ticker, nullptr, tick, nullptr, kStopTickMilliseconds,
                                    kStopTickMilliseconds, WT_EXECUTEDEFAULT);
        }
        ::LeaveCriticalSection(&service.lock);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    service.statusHandle = ::RegisterServiceCtrlHandlerExW(service.name, control, nullptr);
    if (service.statusHandle == nullptr) return;
    if (!win32::createStopEvent()) {
        report(SERVICE_STOPPED, ::GetLastError());
        return;
    }
    // Running before any wait: the manager gives a starting service only so
    // long, and the first run may wait minutes for the network.
    report(SERVICE_RUNNING);
    const int result = (*service.work)();
    ::EnterCriticalSection(&service.lock);
    service.ended = true;
    const HANDLE ticker = std::exchange(service.ticker, nullptr);
    ::LeaveCriticalSection(&service.lock);
    // Its last tick is over before the status says stopped.
    if (ticker != nullptr) ::DeleteTimerQueueTimer(nullptr, ticker, INVALID_HANDLE_VALUE);
    report(SERVICE_STOPPED, result == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR);
}

}  // namespace

namespace platform {

unsigned long runAsService(const std::wstring& name, const std::function<int()>& work) {
    service.name = name.c_str();
    service.work = &work;
    ::InitializeCriticalSection(&service.lock);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(name.c_str()), serviceMain}, {nullptr, nullptr}};
    // Returns once the service has stopped.
    const unsigned long error = ::StartServiceCtrlDispatcherW(table) ? 0 : ::GetLastError();
    ::DeleteCriticalSection(&service.lock);
    return error;
}

InstallResult installService(const ServiceDefinition& definition) {
    InstallResult result;
    const ServiceHandle manager(
        ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        result.errorCode = ::GetLastError();
        return result;
    }
    // No account named: the local system account.
    ServiceHandle service(::CreateServiceW(
        manager.get(), definition.name.c_str(), definition.displayName.c_str(),
        SERVICE_CHANGE_CONFIG | SERVICE_START | DELETE, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, definition.commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service && ::GetLastError() == ERROR_SERVICE_EXISTS) {
        // Made what installing it anew would make: no group, no
        // dependencies, the local system account.
        result.updated = true;
        service = ServiceHandle(::OpenServiceW(manager.get(), definition.name.c_str(), SERVICE_CHANGE_CONFIG));
        if (service && !::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               SERVICE_ERROR_NORMAL, definition.commandLine.c_str(), L"",
                                               nullptr, L"\0", L"LocalSystem", L"",
                                               definition.displayName.c_str())) {
            result.errorCode = ::GetLastError();
            return result;
        }
    }
    if (!service) {
        result.errorCode = ::GetLastError();
        return result;
    }

    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(definition.description.c_str())};
    // Restarted after a crash: 10 s, then a minute, then every 5 minutes,
    // the count starting over after a day without one.
    SC_ACTION restarts[3] = {{SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 300000}};
    SERVICE_FAILURE_ACTIONSW failures{};
    failures.dwResetPeriod = 24 * 60 * 60;
    failures.cActions = 3;
    failures.lpsaActions = restarts;
    if (!::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description) ||
        !::ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failures)) {
        // Half a new service is none: it goes again, and the error is told.
        result.errorCode = ::GetLastError();
        if (!result.updated) ::DeleteService(service.get());
    }
    return result;
}

bool onlyTrustedMayChange(const std::wstring& path) { return win32::onlyTrustedMayChange(path); }

RemoveResult removeService(const std::wstring& name, unsigned stopWaitMilliseconds) {
    RemoveResult result;
    const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle opened(
        manager ? ::OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                : nullptr);
    if (!opened) {
        result.errorCode = ::GetLastError();
        return result;
    }
    SERVICE_STATUS status{};
    // Not running, or already stopping: nothing to ask, only to wait for.
    ::ControlService(opened.get(), SERVICE_CONTROL_STOP, &status);
    constexpr DWORD kLookMilliseconds = 250;
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (!::QueryServiceStatus(opened.get(), &status) || status.dwCurrentState == SERVICE_STOPPED) break;
        if (::GetTickCount() - start >= stopWaitMilliseconds) {
            result.stopped = false;
            break;
        }
        ::Sleep(kLookMilliseconds);
    }
    if (!::DeleteService(opened.get())) result.errorCode = ::GetLastError();
    return result;
}

}  // namespace platform
