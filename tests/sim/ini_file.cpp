#include "sim/ini_file.h"

#include <cstdio>
#include <cwctype>
#include <optional>
#include <vector>

namespace inifile {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f'; }

namespace {

std::wstring trimLeft(const std::wstring& text) {
    std::size_t begin = 0;
    while (begin < text.size() && isBlank(text[begin])) ++begin;
    return text.substr(begin);
}

std::wstring trimRight(const std::wstring& text) {
    std::size_t end = text.size();
    while (end > 0 && isBlank(text[end - 1])) --end;
    return text.substr(0, end);
}

}  // namespace

std::wstring trim(const std::wstring& text) { return trimRight(trimLeft(text)); }

bool sameName(const std::wstring& stored, const std::wstring& asked) {
    const std::wstring a = trim(stored);
    const std::wstring b = trim(asked);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(static_cast<std::wint_t>(a[i])) != std::towlower(static_cast<std::wint_t>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool readBytes(const std::string& path, std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
    std::fclose(file);
    return true;
}

namespace {

enum class Encoding { Ansi, Utf8, Utf16Le };

// Windows-1252 from 0x80 to 0x9F; the five unassigned bytes map to
// themselves, as the system's conversion does.
const char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void appendCodePoint(std::wstring& out, char32_t cp) {
    if (sizeof(wchar_t) == 2 && cp > 0xFFFF) {
        cp -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<wchar_t>(cp));
    }
}

std::vector<char32_t> codePoints(const std::wstring& text) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (sizeof(wchar_t) == 2) c &= 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        out.push_back(c);
    }
    return out;
}

std::wstring decode(const std::string& bytes, Encoding& encoding) {
    std::wstring out;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        encoding = Encoding::Utf16Le;
        std::wstring units;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            units.push_back(static_cast<wchar_t>(byte(i) | (byte(i + 1) << 8)));
        }
        for (char32_t cp : codePoints(units)) appendCodePoint(out, cp);
        return out;
    }
    if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        encoding = Encoding::Utf8;
        std::size_t i = 3;
        while (i < bytes.size()) {
            const unsigned char lead = byte(i);
            std::size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
            char32_t cp = extra == 3 ? lead & 0x07 : extra == 2 ? lead & 0x0F : extra == 1 ? lead & 0x1F : lead;
            if (lead >= 0x80 && extra == 0) cp = 0xFFFD;  // a stray continuation byte
            ++i;
            for (; extra > 0 && i < bytes.size(); --extra, ++i) cp = (cp << 6) | (byte(i) & 0x3F);
            appendCodePoint(out, cp);
        }
        return out;
    }
    encoding = Encoding::Ansi;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char b = byte(i);
        appendCodePoint(out, b >= 0x80 && b <= 0x9F ? kCp1252High[b - 0x80] : b);
    }
    return out;
}

std::string encode(const std::wstring& text, Encoding encoding) {
    std::string out;
    const std::vector<char32_t> cps = codePoints(text);
    switch (encoding) {
    case Encoding::Utf16Le:
        out = "\xFF\xFE";
        for (char32_t cp : cps) {
            std::vector<char32_t> units;
            if (cp > 0xFFFF) {
                units.push_back(0xD800 + ((cp - 0x10000) >> 10));
                units.push_back(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                units.push_back(cp);
            }
            for (char32_t u : units) {
                out.push_back(static_cast<char>(u & 0xFF));
                out.push_back(static_cast<char>((u >> 8) & 0xFF));
            }
        }
        break;
    case Encoding::Utf8:
        out = "\xEF\xBB\xBF";
        for (char32_t cp : cps) appendUtf8(out, cp);
        break;
    case Encoding::Ansi:
        for (char32_t cp : cps) {
            char b = '?';  // not in the code page
            if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
                b = static_cast<char>(cp);
            } else {
                for (int i = 0; i < 32; ++i) {
                    if (kCp1252High[i] == cp) b = static_cast<char>(0x80 + i);
                }
            }
            out.push_back(b);
        }
        break;
    }
    return out;
}

struct Entry {
    std::wstring key;
    std::optional<std::wstring> value;  // none for a line without '='
};

struct Section {
    std::wstring name;  // empty for the lines before the first section
    std::vector<Entry> entries;
};

struct Document {
    Encoding encoding = Encoding::Ansi;
    std::vector<Section> sections;
};

Document parse(const std::string& bytes) {
    Document doc;
    // The lines before the first header form a section without a name that
    // is always there, so a header with a blank name ("[]") never stands
    // for it: the system reads such a section as missing and, writing the
    // file back, drops its header.
    doc.sections.push_back(Section{});
    const std::wstring text = decode(bytes, doc.encoding);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != L'\r' && text[end] != L'\n') ++end;
        const std::wstring line = trim(text.substr(pos, end - pos));
        pos = end;
        if (pos < text.size() && text[pos] == L'\r') ++pos;
        if (pos < text.size() && text[pos] == L'\n') ++pos;
        if (line.empty()) continue;  // blank lines are not kept

        if (line[0] == L'[') {
            // The name runs to the last "]" of the line, as for the system.
            const std::size_t close = line.rfind(L']');
            if (close != std::wstring::npos) {
                doc.sections.push_back(Section{trim(line.substr(1, close - 1)), {}});
                continue;
            }
        }
        Entry entry;
        const std::size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) {
            entry.key = line;
        } else {
            entry.key = trim(line.substr(0, equals));
            entry.value = trim(line.substr(equals + 1));
        }
        doc.sections.back().entries.push_back(std::move(entry));
    }
    return doc;
}

std::string serialise(const Document& doc) {
    std::wstring text;
    for (const Section& section : doc.sections) {
        if (!section.name.empty()) text += L"[" + section.name + L"]\r\n";
        for (const Entry& entry : section.entries) {
            text += entry.key;
            if (entry.value) text += L"=" + *entry.value;
            text += L"\r\n";
        }
    }
    return encode(text, doc.encoding);
}

// Only the first section of a name counts, as for the system.
std::optional<std::size_t> findSection(const Document& doc, const std::wstring& name) {
    for (std::size_t i = 0; i < doc.sections.size(); ++i) {
        if (sameName(doc.sections[i].name, name)) return i;
    }
    return std::nullopt;
}


}  // namespace

Read lookup(const std::string& fileBytes, const std::wstring& section, const std::wstring& key,
            const std::wstring& fallback, std::size_t capacity) {
    const Document doc = parse(fileBytes);
    std::wstring value = trimRight(fallback);
    bool quoted = false;
    if (const auto found = findSection(doc, section)) {
        for (const Entry& entry : doc.sections[*found].entries) {
            if (!sameName(entry.key, key)) continue;
            if (entry.value) {
                value = *entry.value;
                // The opening quote goes first; the closing one only when
                // the value is not cut, and then with the value's last
                // character even if that was no quote, as the system does.
                if (value.size() >= 2 && (value[0] == L'"' || value[0] == L'\'') &&
                    value.back() == value[0]) {
                    quoted = true;
                    value.erase(0, 1);
                }
            }
            break;
        }
    }
    Read result;
    if (capacity == 0) return result;
    const bool whole = capacity >= value.size();
    if (value.size() > capacity - 1) value.resize(capacity - 1);
    if (quoted && whole && !value.empty()) value.pop_back();
    result.count = value.size();
    result.value = std::move(value);
    return result;
}

std::string applyWrite(const std::string& fileBytes, const std::wstring& section,
                       const std::wstring& key, const std::wstring& value, bool& changed) {
    Document doc = parse(fileBytes);
    const std::wstring newValue = trimLeft(value);
    changed = true;
    const auto found = findSection(doc, section);
    if (!found) doc.sections.push_back(Section{trimLeft(section), {}});
    Section* target = found ? &doc.sections[*found] : &doc.sections.back();
    Entry* existing = nullptr;
    for (Entry& entry : target->entries) {
        if (sameName(entry.key, key)) {
            existing = &entry;
            break;
        }
    }
    if (existing == nullptr) {
        target->entries.push_back(Entry{trimLeft(key), newValue});
    } else if (existing->value && *existing->value == newValue) {
        changed = false;
        return fileBytes;
    } else {
        existing->value = newValue;
    }
    return serialise(doc);
}

Read readString(const std::string& path, const std::wstring& section, const std::wstring& key,
                const std::wstring& fallback, std::size_t capacity) {
    std::string bytes;
    readBytes(path, bytes);  // a missing file reads as empty
    return lookup(bytes, section, key, fallback, capacity);
}

bool writeString(const std::string& path, const std::wstring& section, const std::wstring& key,
                 const std::wstring& value) {
    std::string bytes;
    readBytes(path, bytes);
    bool changed = false;
    const std::string updated = applyWrite(bytes, section, key, value, changed);
    if (!changed) return true;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(updated.data(), 1, updated.size(), file) == updated.size();
    return std::fclose(file) == 0 && written;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace inifile
