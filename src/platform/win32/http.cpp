// The metadata fetch over WinINet: one internet handle and one request per
// fetch, read once, both closed before returning.
#include "platform/win32/win.h"

#include <wininet.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/http.h"

namespace {

struct CloseInternetHandle {
    void operator()(HINTERNET h) const { ::InternetCloseHandle(h); }
};
using InternetHandle = win32::Owned<HINTERNET, CloseInternetHandle, nullptr>;

// Always from the server, never from a cache.
constexpr DWORD kOpenUrlFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_HYPERLINK;
static_assert(kOpenUrlFlags == 0xa0000400, "request flags changed");

// Decimal digits only; a length too large to hold counts as the largest.
std::optional<std::uint64_t> parseLength(const wchar_t* text) {
    if (text[0] == L'\0') return std::nullopt;
    std::uint64_t value = 0;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (*p < L'0' || *p > L'9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(*p - L'0');
        if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

namespace platform {

HttpRead httpGetOnce(const std::wstring& url, std::size_t limit, HttpRoute route) {
    HttpRead result;
    const DWORD toRead = limit > MAXDWORD ? MAXDWORD : static_cast<DWORD>(limit);

    // Declared in this order so the request is closed before the session.
    const DWORD access =
        route == HttpRoute::Direct ? INTERNET_OPEN_TYPE_DIRECT : INTERNET_OPEN_TYPE_PRECONFIG;
    InternetHandle internet(
        ::InternetOpenW(L"Microsoft Internet Explorer", access, nullptr, nullptr, 0));
    if (!internet) return result;
    InternetHandle request(
        ::InternetOpenUrlW(internet.get(), url.c_str(), nullptr, 0, kOpenUrlFlags, 0));
    if (!request) return result;
    result.opened = true;

    // The announced length shows a body that the connection cut short.
    wchar_t lengthText[32] = {};
    DWORD lengthSize = sizeof(lengthText);
    if (::HttpQueryInfoW(request.get(), HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthSize,
                         nullptr)) {
        result.contentLength = parseLength(lengthText);
    }

    std::vector<char> block(toRead, '\0');
    DWORD received = 0;
    const BOOL ok = ::InternetReadFile(request.get(), block.data(), toRead, &received);
    if (ok && received <= toRead) {
        result.readOk = true;
        result.bytes.assign(block.data(), received);
    }
    return result;
}

std::wstring ansiToWide(const std::string& bytes) {
    // c_str() ends the text at the first zero byte; -1 converts it with its
    // terminator, so the length asked for counts the terminator too.
    const int length = ::MultiByteToWideChar(CP_ACP, 0, bytes.c_str(), -1, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::vector<wchar_t> text(static_cast<std::size_t>(length), L'\0');
    if (::MultiByteToWideChar(CP_ACP, 0, bytes.c_str(), -1, text.data(), length) == 0) {
        return std::wstring();
    }
    return std::wstring(text.data());
}

}  // namespace platform
