#include "metadata/parse.h"

#include <cwchar>

namespace {

bool isDecimalDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool isHexDigit(wchar_t c) {
    return isDecimalDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

}  // namespace

TextList splitListing(const std::wstring& text, const std::wstring& separator) {
    TextList entries;
    if (separator.empty()) return entries;
    // A last entry without its own separator is still found; one that has it
    // only adds an empty piece.
    const std::wstring copy = text + separator;
    std::size_t position = 0;
    for (;;) {
        const std::size_t next = copy.find(separator, position);
        if (next == std::wstring::npos) break;
        std::wstring piece = trimLineFeeds(copy.substr(position, next - position));
        if (!piece.empty()) entries.push_back(std::move(piece));
        position = next + separator.size();
    }
    return entries;
}

std::wstring trimLineFeeds(const std::wstring& text) {
    const std::size_t first = text.find_first_not_of(L'\n');
    if (first == std::wstring::npos) return std::wstring();
    const std::size_t last = text.find_last_not_of(L'\n');
    return text.substr(first, last - first + 1);
}

int checkMac(const wchar_t* text) {
    if (text == nullptr || text[0] == L'\0') return 0;
    if (std::wcslen(text) != 17) return 0;

    // Tokens at ":", a run of colons counting as one separator.
    const std::wstring copy = text;
    int tokens = 0;
    std::size_t position = copy.find_first_not_of(L':');
    while (position != std::wstring::npos) {
        std::size_t end = copy.find(L':', position);
        if (end == std::wstring::npos) end = copy.size();
        if (end - position != 2) return 0;
        if (!isHexDigit(copy[position]) || !isHexDigit(copy[position + 1])) return 0;
        ++tokens;
        position = copy.find_first_not_of(L':', end);
    }
    return tokens == 6 ? 1 : 0;
}

int macTextToBytes(const wchar_t* text, std::uint8_t* destination) {
    if (text == nullptr || destination == nullptr) return -1;
    const std::wstring copy = text;
    if (copy.size() < 12) return -1;

    std::size_t position = 0;
    for (int index = 0; index < 6; ++index) {
        std::size_t end = copy.find_first_of(L":-", position);
        const bool atSeparator = end != std::wstring::npos;
        if (!atSeparator) end = copy.size();
        // The group is read on its own, so that a separator never reaches
        // wcstol (a "-" would read as a sign).
        const std::wstring group = copy.substr(position, end - position);
        const long value = std::wcstol(group.c_str(), nullptr, 16);
        destination[index] = static_cast<std::uint8_t>(static_cast<unsigned long>(value) & 0xffu);
        if (!atSeparator) break;
        position = end + 1;
    }
    return 0;
}
