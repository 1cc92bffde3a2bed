// Files and the private-profile (INI) reads and writes.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

bool fileExists(const std::wstring& path);

// Copies source over destination (an existing destination is overwritten).
bool copyFileOver(const std::wstring& source, const std::wstring& destination);

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
