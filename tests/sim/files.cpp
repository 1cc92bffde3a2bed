// Files are real files in the test's folder; the private-profile calls go to
// the portable INI layer, which answers as the system does.
#include <array>
#include <cstdio>
#include <type_traits>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "sim/ini_file.h"
#include "sim/sim.h"

namespace {

struct FilesState {
    std::map<std::string, unsigned> attributes;
    unsigned writes = 0, failingWrite = 0;
    std::map<std::string, unsigned> calls;
    std::map<std::string, std::array<unsigned long, 3>> failing;  // from, to, error
    // Private-profile writes the system still holds in its cache, by file.
    std::map<std::wstring, std::vector<std::array<std::wstring, 3>>> cached;
} files;

// The error a scripted failure gives this call of its kind, or 0.
unsigned long scripted(const std::string& call) {
    const unsigned number = ++files.calls[call];
    const auto& [from, to, error] = files.failing[call];
    return number >= from && number < to ? error : 0;
}

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

namespace sim {

void resetFiles() { files = FilesState(); }
std::map<std::string, unsigned>& fileAttributes() { return files.attributes; }
void failProfileWrite(unsigned writeNumber) { files.failingWrite = writeNumber; }
void failFileCalls(const std::string& call, unsigned number, unsigned long error, unsigned times) {
    files.failing[call] = {number, number + times, error};
}

}  // namespace sim

namespace platform {

bool fileExists(const std::wstring& path) {
    struct stat st;
    return ::stat(narrowPath(path).c_str(), &st) == 0;
}

bool copyFileOver(const std::wstring& source, const std::wstring& destination) {
    const std::string to = narrowPath(destination);
    if (scripted("copy") != 0) return ::unlink(to.c_str()), false;
    if (fileExists(destination) && files.attributes[to] != 0) return false;  // hidden or read-only
    std::FILE* in = std::fopen(narrowPath(source).c_str(), "rb");
    if (in == nullptr) return false;
    std::FILE* out = std::fopen(to.c_str(), "wb");
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
    files.attributes[to] = files.attributes[narrowPath(source)];
    return ok;
}

bool removeFile(const std::wstring& path) {
    files.attributes.erase(narrowPath(path));
    return ::unlink(narrowPath(path).c_str()) == 0;
}

std::optional<std::vector<std::uint8_t>> readFileBytes(const std::wstring& path) {
    std::string bytes;
    if (!inifile::readBytes(narrowPath(path), bytes)) return std::nullopt;
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// A rename that takes the file's attributes along.
bool rename(const std::wstring& source, const std::wstring& destination) {
    const std::string from = narrowPath(source), to = narrowPath(destination);
    if (std::rename(from.c_str(), to.c_str()) != 0) return false;
    files.attributes[to] = files.attributes[from];
    files.attributes.erase(from);
    return true;
}

unsigned long moveFileOver(const std::wstring& source, const std::wstring& destination) {
    if (const unsigned long error = scripted("move")) return error;
    return rename(source, destination) ? 0 : 2;
}

unsigned long replaceFile(const std::wstring& replaced, const std::wstring& replacement,
                          const std::wstring& backup) {
    const unsigned long error = scripted("replace");
    if (error == kReplacedKeptAsBackup) rename(replaced, backup);
    if (error != 0) return error;
    const unsigned attributes = files.attributes[narrowPath(replaced)];  // they stay with the name
    if (!fileExists(replaced) || !rename(replaced, backup) || !rename(replacement, replaced)) return 2;
    files.attributes[narrowPath(replaced)] = attributes;
    return 0;
}

ProfileRead readProfileString(const std::wstring& path, const std::wstring& section,
                              const std::wstring& key, const std::wstring& fallback,
                              std::size_t capacity) {
    flushProfileWrites(path);  // the system's reads see its cache
    const inifile::Read read = inifile::readString(narrowPath(path), section, key, fallback, capacity);
    ProfileRead result;
    result.value = read.value;
    result.count = read.count;
    return result;
}

bool writeProfileString(const std::wstring& path, const std::wstring& section,
                        const std::wstring& key, const std::wstring& value) {
    if (++files.writes == files.failingWrite) return false;
    files.cached[path].push_back({section, key, value});
    return true;
}

void flushProfileWrites(const std::wstring& path) {
    for (const auto& [section, key, value] : files.cached[path]) inifile::writeString(narrowPath(path), section, key, value);
    files.cached.erase(path);
}

}  // namespace platform
