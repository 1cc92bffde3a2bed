// Who this process runs as, and who else may change a file or an object:
// what the run lock, the event source's registration and installing the
// service rely on.
#pragma once

#include "platform/win32/win.h"

#include <string>
#include <vector>

namespace win32 {

// Owner of memory the system hands out with LocalAlloc (security
// descriptors and the like).
struct FreeLocal {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
using LocalMemory = Owned<void*, FreeLocal, nullptr>;

// The process's own user as TOKEN_USER (the system account at boot), or
// nothing when the system will not say.
std::vector<unsigned char> processUser();

// The system account, or an account with the Administrators group in force
// (an administrator, elevated where the system splits the token).
bool runsAsSystemOrAdministrators();

// The system account or the Administrators group.
bool isSystemOrAdministrators(PSID sid);

// Whether only the system account, the Administrators group, the system's
// installer and this process's own account (which must be one of the first
// two) may change the file or folder at `path`: its owner is one of them and
// no entry of its access list lets anyone else write to it, delete it or
// change its security.
bool onlyTrustedMayChange(const std::wstring& path);

// The same of the open file `file`, for opening it at all (reading it
// included): anyone who may open a lock file for its data may hold it.
bool onlyTrustedMayOpen(HANDLE file);

}  // namespace win32
