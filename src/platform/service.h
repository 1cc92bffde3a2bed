// The door to the service manager: the program as a Windows service that
// follows changes while the machine runs, and its installation.
#pragma once

#include <functional>
#include <string>

namespace platform {

// Connects the program to the service manager as the service `name` and
// runs `work` on the service's thread. The service is reported running
// before `work` starts and stopped only once it has returned, with its
// result as the exit code; a stop or shutdown asked for meanwhile is
// answered at once (stop-pending), makes stopRequested() true and ends every
// sleep. Returns 0 once the service has stopped, or the system's error code
// when the program was not started by the service manager (1063) or could
// not connect to it.
unsigned long runAsService(const std::wstring& name, const std::function<int()>& work);

struct ServiceDefinition {
    std::wstring name;
    std::wstring displayName;
    std::wstring description;
    // What the manager starts: the program's path, quoted, and its arguments.
    std::wstring commandLine;
};

struct InstallResult {
    unsigned long errorCode = 0;  // 0: done, else the system's error code
    bool updated = false;         // it was installed already: changed in place
};
// Registers the service: started automatically at boot, as the local system
// account, restarted by the manager after a crash. Where it is installed
// already (by hand, or by an older version), it is changed in place to the
// same: command line, start type, account, description and restarts. Neither
// starts nor restarts it.
InstallResult installService(const ServiceDefinition& service);

// Whether only the system account, the Administrators group, the system's
// installer and this process's own account may change the file or folder at
// `path`: what the service manager starts as the system account must be
// out of every other account's reach.
bool onlyTrustedMayChange(const std::wstring& path);

struct RemoveResult {
    unsigned long errorCode = 0;  // 0: deleted (or marked for deletion)
    bool stopped = true;          // false: still running after the wait
};
// Asks the service to stop, waits up to `stopWaitMilliseconds` for it to
// have stopped, and deletes it. A service that has not stopped by then is
// deleted as soon as it does.
RemoveResult removeService(const std::wstring& name, unsigned stopWaitMilliseconds);

}  // namespace platform
