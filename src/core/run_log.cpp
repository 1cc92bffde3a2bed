#include "core/run_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <type_traits>
#include <cwchar>
#include <vector>

namespace {

std::size_t linesWritten = 0;
bool quiet = false;
std::string lastQuietLine;

void writeBytes(const std::string& bytes) {
    if (quiet) {
        if (!bytes.empty()) lastQuietLine.assign(bytes, 0, bytes.find_last_not_of('\n') + 1);
        return;
    }
    for (char c : bytes) {
        if (c == '\n') ++linesWritten;
    }
    std::FILE* out = platform::output();
    if (out == nullptr || bytes.empty()) return;
    std::fwrite(bytes.data(), 1, bytes.size(), out);
}

std::wstring formatWide(const wchar_t* format, std::va_list args) {
    // vswprintf gives no length on overflow, so grow until the text fits.
    std::vector<wchar_t> buffer(512);
    for (;;) {
        std::va_list copy;
        va_copy(copy, args);
        const int written = std::vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<std::size_t>(written) < buffer.size()) {
            return std::wstring(buffer.data(), static_cast<std::size_t>(written));
        }
        if (buffer.size() >= (1u << 20)) return std::wstring();  // not a log line
        buffer.resize(buffer.size() * 4);
    }
}

std::string formatNarrow(const char* format, std::va_list args) {
    std::va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return std::string();
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<std::size_t>(needed));
}

}  // namespace

std::string wideToLocale(const std::wstring& text) {
    std::string out;
    std::mbstate_t state{};
    char bytes[16];  // larger than any MB_CUR_MAX in use
    for (wchar_t c : text) {
        const std::size_t n = std::wcrtomb(bytes, c, &state);
        if (n == static_cast<std::size_t>(-1)) {
            out.push_back('?');
            state = std::mbstate_t{};
        } else {
            out.append(bytes, n);
        }
    }
    return out;
}

void logWide(const wchar_t* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::wstring text = formatWide(format, args);
    va_end(args);
    writeBytes(wideToLocale(text));
}

void logNarrow(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string text = formatNarrow(format, args);
    va_end(args);
    writeBytes(text);
}

std::size_t logLineCount() { return linesWritten; }

QuietLog::QuietLog() {
    quiet = true;
    lastQuietLine.clear();
}
QuietLog::~QuietLog() { quiet = false; }
const std::string& QuietLog::lastLine() const { return lastQuietLine; }

void logFlush() {
    if (std::FILE* out = platform::output()) std::fflush(out);
}

namespace {
std::string stamp(const char* label, const platform::LocalTime& t, const char* tail) {
    char line[96];
    std::snprintf(line, sizeof line, "%s time %d-%d-%d,%2d:%2d:%2d\n%s", label, t.year, t.month,
                  t.day, t.hour, t.minute, t.second, tail);
    return line;
}
}  // namespace

namespace {
// wchar_t is signed on some platforms: its value as a code unit.
std::uint32_t codeUnit(wchar_t c) { return static_cast<std::make_unsigned_t<wchar_t>>(c); }
}  // namespace

std::string wideToUtf8(const std::wstring& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = codeUnit(text[i]);
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < text.size()) {
            const std::uint32_t next = codeUnit(text[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if (c < 0x800) {
            bytes += static_cast<char>(0xC0 | (c >> 6));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes += static_cast<char>(0xE0 | (c >> 12));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes += static_cast<char>(0xF0 | (c >> 18));
            bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return bytes;
}

std::string startStamp(const platform::LocalTime& time) {
    return stamp("start", time, "");
}

std::string endStamp(const platform::LocalTime& time) {
    return stamp("end", time, "\n");
}
