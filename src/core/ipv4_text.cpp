#include "core/ipv4_text.h"

namespace {
bool isDecimalDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
}  // namespace

// Four decimal parts of 0 to 255 joined by single dots, nothing around them.
// A part with a leading zero ("01") is refused: the system's own conversion
// refuses it, and elsewhere it may be read as octal.
int checkIpAddr(const wchar_t* text) {
    if (text == nullptr || text[0] == L'\0') return 0;
    const wchar_t* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != L'.') return 0;
            ++p;
        }
        if (!isDecimalDigit(*p)) return 0;
        if (*p == L'0' && isDecimalDigit(p[1])) return 0;
        unsigned value = 0;
        int digits = 0;
        while (isDecimalDigit(*p)) {
            if (++digits > 3) return 0;
            value = value * 10 + static_cast<unsigned>(*p - L'0');
            ++p;
        }
        if (value > 255) return 0;
    }
    return *p == L'\0' ? 1 : 0;
}
