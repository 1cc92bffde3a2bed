// The metadata text parsers on arbitrary text: no crash, no write outside
// the six bytes of a hardware address, and each check accepting exactly the
// form it promises.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "core/ipv4_text.h"
#include "metadata/parse.h"

namespace {

// A broken property names itself before libFuzzer keeps the input.
[[noreturn]] void fail(const char* what, int line) {
    std::fprintf(stderr, "property failed (line %d): %s\n", line, what);
    std::abort();
}
#define REQUIRE(condition) ((condition) ? (void)0 : fail(#condition, __LINE__))

// Bytes to wide text: one byte is one character (as the simulated code page
// converts), except that 0xFF takes the next two bytes as one 16-bit unit, so
// that characters beyond Latin-1 (other scripts' digits, surrogates) come up.
std::wstring decodeText(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 2 < size) {
            text.push_back(static_cast<wchar_t>(data[i + 1] | (data[i + 2] << 8)));
            i += 2;
        } else {
            text.push_back(static_cast<wchar_t>(data[i]));
        }
    }
    return text;
}

bool isAsciiDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool isAsciiHex(wchar_t c) {
    return isAsciiDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

unsigned hexValue(wchar_t c) {
    if (isAsciiDigit(c)) return static_cast<unsigned>(c - L'0');
    if (c >= L'a' && c <= L'f') return static_cast<unsigned>(c - L'a' + 10);
    return static_cast<unsigned>(c - L'A' + 10);
}

// Four parts of one to three ASCII digits, 0 to 255, joined by single dots,
// written without a leading zero (so the text is exactly the canonical
// spelling of its four numbers).
bool isDottedQuad(const std::wstring& text) {
    std::size_t p = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (p >= text.size() || text[p] != L'.') return false;
            ++p;
        }
        const std::size_t begin = p;
        unsigned value = 0;
        while (p < text.size() && isAsciiDigit(text[p]) && p - begin < 4) {
            value = value * 10 + static_cast<unsigned>(text[p] - L'0');
            ++p;
        }
        const std::size_t digits = p - begin;
        if (digits == 0 || digits > 3 || value > 255) return false;
        if (digits > 1 && text[begin] == L'0') return false;
    }
    return p == text.size();
}

// Six two-digit hexadecimal groups joined by single colons.
bool isColonMac(const std::wstring& text) {
    if (text.size() != 17) return false;
    for (std::size_t i = 0; i < 17; ++i) {
        if (i % 3 == 2) {
            if (text[i] != L':') return false;
        } else if (!isAsciiHex(text[i])) {
            return false;
        }
    }
    return true;
}

// The listing as it should split: pieces between slashes, line feeds
// trimmed from both ends of each, empty pieces dropped.
TextList referenceSplit(const std::wstring& text) {
    TextList out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = text.find(L'/', start);
        std::wstring piece = text.substr(start, slash == std::wstring::npos ? std::wstring::npos
                                                                            : slash - start);
        while (!piece.empty() && piece.front() == L'\n') piece.erase(0, 1);
        while (!piece.empty() && piece.back() == L'\n') piece.pop_back();
        if (!piece.empty()) out.push_back(piece);
        if (slash == std::wstring::npos) break;
        start = slash + 1;
    }
    return out;
}

void checkTrim(const std::wstring& text) {
    const std::wstring trimmed = trimLineFeeds(text);
    const std::size_t lead = text.find_first_not_of(L'\n');
    if (lead == std::wstring::npos) {
        REQUIRE(trimmed.empty());
        return;
    }
    REQUIRE(!trimmed.empty() && trimmed.front() != L'\n' && trimmed.back() != L'\n');
    REQUIRE(text.compare(lead, trimmed.size(), trimmed) == 0);
    REQUIRE(text.find_first_not_of(L'\n', lead + trimmed.size()) == std::wstring::npos);
}

void checkAddress(const std::wstring& text) {
    // What a caller hands over ends at the first zero character.
    const std::wstring asSeen(text.c_str());
    REQUIRE(checkIpAddr(text.c_str()) == (isDottedQuad(asSeen) ? 1 : 0));
}

void checkHardwareAddress(const std::wstring& text) {
    const std::wstring asSeen(text.c_str());
    const bool accepted = checkMac(text.c_str()) == 1;
    REQUIRE(accepted == isColonMac(asSeen));

    // Guards on both sides of the six bytes: no conversion may touch them.
    std::uint8_t block[6 + 2 * 16];
    for (std::uint8_t& b : block) b = 0xA5;
    std::uint8_t* destination = block + 16;
    const int result = macTextToBytes(text.c_str(), destination);
    for (std::size_t i = 0; i < 16; ++i) REQUIRE(block[i] == 0xA5 && block[22 + i] == 0xA5);
    REQUIRE(result == (asSeen.size() < 12 ? -1 : 0));
    if (result != 0) {
        for (std::size_t i = 0; i < 6; ++i) REQUIRE(destination[i] == 0xA5);
    }
    if (accepted) {
        for (std::size_t i = 0; i < 6; ++i) {
            const unsigned expected = hexValue(asSeen[i * 3]) * 16 + hexValue(asSeen[i * 3 + 1]);
            REQUIRE(destination[i] == expected);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = decodeText(data, size);

    REQUIRE(splitListing(text, L"/") == referenceSplit(text));
    for (const std::wstring& entry : splitListing(text, L"/")) {
        checkAddress(entry);
        checkHardwareAddress(entry);
    }
    checkTrim(text);
    checkAddress(text);
    checkHardwareAddress(text);

    // Every address the check accepts is exactly four numbers; turned round,
    // any four bytes spelt out must be accepted.
    if (size >= 4) {
        std::wstring dotted;
        for (std::size_t i = 0; i < 4; ++i) {
            if (i > 0) dotted += L'.';
            dotted += std::to_wstring(static_cast<unsigned>(data[i]));
        }
        REQUIRE(checkIpAddr(dotted.c_str()) == 1);
    }
    return 0;
}
