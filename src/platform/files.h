// Files and the private-profile (INI) reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

bool fileExists(const std::wstring& path);

// Copies source over destination (an existing destination is overwritten),
// but the system refuses a destination that is hidden or read-only.
bool copyFileOver(const std::wstring& source, const std::wstring& destination);

// Removes a file, hidden or read-only as it may be.
bool removeFile(const std::wstring& path);

// The file's bytes; nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> readFileBytes(const std::wstring& path);

// Moves `source` over `destination` (an existing one goes, read-only as it
// may be), written through to the disk before it returns. 0, or the
// system's error code.
unsigned long moveFileOver(const std::wstring& source, const std::wstring& destination);

// The system's error codes the callers act on.
constexpr unsigned long kAccessDenied = 5;
constexpr unsigned long kSharingViolation = 32;
constexpr unsigned long kUnableToRemoveReplaced = 1175;
constexpr unsigned long kReplacedKeptAsBackup = 1177;

// Writes `replacement` through to the disk, then puts it in the place of
// `replaced`, which goes to `backup` (an existing file of that name is
// overwritten). 0, or the system's error code: after kReplacedKeptAsBackup
// `replaced` is left as `backup` and `replacement` where it was; after any
// other failure both keep their names.
unsigned long replaceFile(const std::wstring& replaced, const std::wstring& replacement,
                          const std::wstring& backup);

struct ProfileRead {
    std::wstring value;
    std::size_t count = 0;  // characters read, as the system reports them
};

// Value of `key` in `section` (names without regard to case), `fallback`
// when either is missing, cut to capacity - 1 characters.
ProfileRead readProfileString(const std::wstring& path, const std::wstring& section,
                              const std::wstring& key, const std::wstring& fallback,
                              std::size_t capacity);

// Adds the section and key when missing, replaces the value otherwise.
bool writeProfileString(const std::wstring& path, const std::wstring& section,
                        const std::wstring& key, const std::wstring& value);

// Hands the writes that the system may still hold in its private-profile
// cache over to the file itself, before its bytes are read.
void flushProfileWrites(const std::wstring& path);

}  // namespace platform
