// Files are real files in the test's folder; the private-profile calls go to
// the portable INI layer, which answers as the system does.
#include <cstdio>
#include <type_traits>

#include <sys/stat.h>

#include "platform/files.h"
#include "sim/ini_file.h"

namespace {

// Paths as the C library takes them here: UTF-8.
std::string narrowPath(const std::wstring& path) {
    std::string out;
    for (wchar_t w : path) {
        // Through the unsigned type of wchar_t's own width: a signed 4-byte
        // wchar_t must never widen into a huge value.
        inifile::appendUtf8(out, static_cast<std::make_unsigned_t<wchar_t>>(w));
    }
    return out;
}

}  // namespace

namespace platform {

bool fileExists(const std::wstring& path) {
    struct stat st;
    return ::stat(narrowPath(path).c_str(), &st) == 0;
}

bool copyFileOver(const std::wstring& source, const std::wstring& destination) {
    std::FILE* in = std::fopen(narrowPath(source).c_str(), "rb");
    if (in == nullptr) return false;
    std::FILE* out = std::fopen(narrowPath(destination).c_str(), "wb");
    if (out == nullptr) {
        std::fclose(in);
        return false;
    }
    bool ok = true;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
        if (std::fwrite(chunk, 1, got, out) != got) ok = false;
    }
    if (std::ferror(in)) ok = false;
    std::fclose(in);
    if (std::fclose(out) != 0) ok = false;
    return ok;
}

ProfileRead readProfileString(const std::wstring& path, const std::wstring& section,
                              const std::wstring& key, const std::wstring& fallback,
                              std::size_t capacity) {
    const inifile::Read read = inifile::readString(narrowPath(path), section, key, fallback, capacity);
    ProfileRead result;
    result.value = read.value;
    result.count = read.count;
    return result;
}

bool writeProfileString(const std::wstring& path, const std::wstring& section,
                        const std::wstring& key, const std::wstring& value) {
    return inifile::writeString(narrowPath(path), section, key, value);
}

}  // namespace platform
