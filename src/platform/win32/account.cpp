#include "platform/win32/account.h"

#include <aclapi.h>
#include <sddl.h>

namespace win32 {

std::vector<unsigned char> processUser() {
    HANDLE opened = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) return {};
    const KernelHandle token(opened);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return {};
    return user;
}

bool isSystemOrAdministrators(PSID sid) {
    return sid != nullptr &&
           (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

bool runsAsSystemOrAdministrators() {
    const std::vector<unsigned char> user = processUser();
    if (!user.empty() && ::IsWellKnownSid(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid,
                                          WinLocalSystemSid)) {
        return true;
    }
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
           ::CheckTokenMembership(nullptr, administrators, &member) && member;
}

namespace {

// The account Windows installs and updates its own files as.
constexpr wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool trusted(PSID sid, PSID self) {
    if (isSystemOrAdministrators(sid) || (self != nullptr && ::EqualSid(sid, self))) return true;
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return false;
    const LocalMemory held(text);
    return std::wstring(text) == kTrustedInstaller;
}

// Whether the owner and every entry of the access list that grants any of
// `rights` name only trusted accounts.
bool onlyTrustedMay(PSID owner, PACL access, DWORD rights) {
    const std::vector<unsigned char> user = processUser();
    const PSID self = user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    // No access list at all lets everyone do everything.
    if (owner == nullptr || !trusted(owner, self) || access == nullptr) return false;
    for (DWORD i = 0; i < access->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(access, i, &entry)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        // Entries of other kinds (conditions, objects) are not read: not trusted.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & rights) != 0 && !trusted(&allowed->SidStart, self)) return false;
    }
    return true;
}

constexpr DWORD kChanges = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                           WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

}  // namespace

bool onlyTrustedMayChange(const std::wstring& path) {
    PSID owner = nullptr;
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                                &access, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const LocalMemory held(descriptor);
    return onlyTrustedMay(owner, access, kChanges);
}

bool onlyTrustedMayOpen(HANDLE file) {
    PSID owner = nullptr;
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                          nullptr, &access, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const LocalMemory held(descriptor);
    // Reading, running or deleting is opening for its data, which a handle
    // held without sharing refuses to everyone else.
    return onlyTrustedMay(owner, access, kChanges | FILE_READ_DATA | FILE_EXECUTE | GENERIC_READ | GENERIC_EXECUTE);
}

}  // namespace win32
