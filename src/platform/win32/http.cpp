// The metadata fetch over WinINet: one internet handle and one request per
// fetch, read once, both closed before returning.
#include "platform/win32/internet_session.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace {

using win32::InternetHandle;

// Always from the server, never from a cache.
constexpr DWORD kOpenUrlFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT | INTERNET_FLAG_HYPERLINK;
static_assert(kOpenUrlFlags == 0xa0000400, "request flags changed");

// Decimal digits only; a number too large to hold counts as the largest.
std::optional<std::uint64_t> parseDecimal(const wchar_t* text) {
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

// A header given as a plain decimal number (a Retry-After given as a date
// is no number and counts as missing).
std::optional<std::uint64_t> headerNumber(HINTERNET request, DWORD header) {
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!::HttpQueryInfoW(request, header, text, &size, nullptr)) return std::nullopt;
    return parseDecimal(text);
}

}  // namespace

namespace win32 {

InternetHandle openSession(platform::HttpRoute route) {
    const DWORD access =
        route == platform::HttpRoute::Direct ? INTERNET_OPEN_TYPE_DIRECT : INTERNET_OPEN_TYPE_PRECONFIG;
    InternetHandle internet(
        ::InternetOpenW(L"Microsoft Internet Explorer", access, nullptr, nullptr, 0));
    if (!internet) return internet;
    // Requests opened through the session take its time-outs. The defaults
    // of the systems up to 2008 R2 wait up to an hour for an answer: a
    // service that accepts the connection and never answers would hold a
    // boot-time run (and the run lock) that long. Link-local metadata
    // services answer within milliseconds.
    for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                               INTERNET_OPTION_RECEIVE_TIMEOUT}) {
        DWORD milliseconds = kInternetTimeoutMilliseconds;
        ::InternetSetOptionW(internet.get(), option, &milliseconds, sizeof milliseconds);
    }
    DWORD connectTries = 1;
    ::InternetSetOptionW(internet.get(), INTERNET_OPTION_CONNECT_RETRIES, &connectTries,
                         sizeof connectTries);
    return internet;
}

}  // namespace win32

namespace platform {

HttpRead httpGetOnce(const std::wstring& url, std::size_t limit, HttpRoute route) {
    HttpRead result;
    const DWORD toRead = limit > MAXDWORD ? MAXDWORD : static_cast<DWORD>(limit);

    // Declared in this order so the request is closed before the session.
    InternetHandle internet = win32::openSession(route);
    if (!internet) return result;
    InternetHandle request(
        ::InternetOpenUrlW(internet.get(), url.c_str(), nullptr, 0, kOpenUrlFlags, 0));
    if (!request) return result;
    result.opened = true;

    // The announced length shows a body that the connection cut short; the
    // status and Retry-After, a service that asks to be asked again later.
    result.contentLength = headerNumber(request.get(), HTTP_QUERY_CONTENT_LENGTH);
    result.retryAfterSeconds = headerNumber(request.get(), HTTP_QUERY_RETRY_AFTER);
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (::HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                         &statusSize, nullptr)) {
        result.status = static_cast<unsigned>(status);
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
