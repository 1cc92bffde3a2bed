#include <cstdint>
#include <optional>
#include <vector>

#include "platform/files.h"
#include "platform/win32/win.h"

#include <shlwapi.h>

namespace platform {

bool fileExists(const std::wstring& path) { return ::PathFileExistsW(path.c_str()) != FALSE; }

bool copyFileOver(const std::wstring& source, const std::wstring& destination) {
    return ::CopyFileW(source.c_str(), destination.c_str(), FALSE) != FALSE;
}

bool removeFile(const std::wstring& path) {
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // no read-only file is removed
    return ::DeleteFileW(path.c_str()) != FALSE;
}

namespace {

win32::KernelHandle openExisting(const std::wstring& path, DWORD access) {
    const HANDLE file = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return win32::KernelHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> readFileBytes(const std::wstring& path) {
    const win32::KernelHandle file = openExisting(path, GENERIC_READ);
    if (!file) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    DWORD got = 0;
    do {
        if (::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) == FALSE) return std::nullopt;
        bytes.insert(bytes.end(), chunk, chunk + got);
    } while (got > 0);
    return bytes;
}

unsigned long moveFileOver(const std::wstring& source, const std::wstring& destination) {
    // The system refuses to move over a read-only file.
    ::SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (::MoveFileExW(source.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    return ::GetLastError();
}

unsigned long replaceFile(const std::wstring& replaced, const std::wstring& replacement,
                          const std::wstring& backup) {
    {
        const win32::KernelHandle file = openExisting(replacement, GENERIC_WRITE);
        if (!file || ::FlushFileBuffers(file.get()) == FALSE) return ::GetLastError();
    }
    // No flags: should the old file's attributes and security not carry over
    // to the new one, the old one stays. With a backup name of our own, a
    // replace that fails half way leaves the old file under that name, never
    // under one the system chose.
    if (::ReplaceFileW(replaced.c_str(), replacement.c_str(), backup.c_str(), 0, nullptr, nullptr)) return 0;
    return ::GetLastError();
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

void flushProfileWrites(const std::wstring& path) {
    // Documented to flush the cache; its result says nothing of the file.
    ::WritePrivateProfileStringW(nullptr, nullptr, nullptr, path.c_str());
}

}  // namespace platform
