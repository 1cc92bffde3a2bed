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

// Writes `replacement` through to the disk, then puts it in the place of
// `replaced` in one step. On failure both are as they were, except that the
// system may have taken `replaced` away.
bool replaceFile(const std::wstring& replaced, const std::wstring& replacement);

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

}  // namespace platform
