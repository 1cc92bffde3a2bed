// Files are real files in the test's folder; the private-profile calls go to
// the portable INI layer, which answers as the system does.
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
    bool replaceLosesFile = false;
} files;

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
void failNextReplace() { files.replaceLosesFile = true; }

}  // namespace sim

namespace platform {

bool fileExists(const std::wstring& path) {
    struct stat st;
    return ::stat(narrowPath(path).c_str(), &st) == 0;
}

bool copyFileOver(const std::wstring& source, const std::wstring& destination) {
    const std::string to = narrowPath(destination);
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

bool replaceFile(const std::wstring& replaced, const std::wstring& replacement) {
    if (std::exchange(files.replaceLosesFile, false)) {
        removeFile(replaced);
        return false;
    }
    const std::string from = narrowPath(replacement);
    if (!fileExists(replaced) || std::rename(from.c_str(), narrowPath(replaced).c_str()) != 0) return false;
    files.attributes.erase(from);  // the replaced file's stay with its name
    return true;
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
    if (++files.writes == files.failingWrite) return false;
    return inifile::writeString(narrowPath(path), section, key, value);
}

}  // namespace platform
