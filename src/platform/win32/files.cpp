#include <vector>

#include "platform/files.h"
#include "platform/win32/win.h"

#include <shlwapi.h>

namespace platform {

bool fileExists(const std::wstring& path) { return ::PathFileExistsW(path.c_str()) != FALSE; }

bool copyFileOver(const std::wstring& source, const std::wstring& destination) {
    return ::CopyFileW(source.c_str(), destination.c_str(), FALSE) != FALSE;
}

ProfileRead readProfileString(const std::wstring& path, const std::wstring& section,
                              const std::wstring& key, const std::wstring& fallback,
                              std::size_t capacity) {
    ProfileRead result;
    if (capacity == 0) return result;
    std::vector<wchar_t> buffer(capacity, L'\0');
    const DWORD count = ::GetPrivateProfileStringW(section.c_str(), key.c_str(), fallback.c_str(),
                                                   buffer.data(), static_cast<DWORD>(capacity),
                                                   path.c_str());
    result.count = count;
    result.value.assign(buffer.data(), count < capacity ? count : capacity - 1);
    return result;
}

bool writeProfileString(const std::wstring& path, const std::wstring& section,
                        const std::wstring& key, const std::wstring& value) {
    return ::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path.c_str()) !=
           FALSE;
}

}  // namespace platform
