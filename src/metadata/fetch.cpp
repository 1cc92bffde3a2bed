#include "metadata/fetch.h"

#include <algorithm>
#include <cstdint>

#include "core/ipv4_text.h"
#include "platform/http.h"

int fetchUrlText(unsigned readLimit, const wchar_t* url, wchar_t* buffer) {
    return fetchUrl(readLimit, url, buffer).result == FetchResult::Text ? 1 : 0;
}

FetchAnswer fetchUrl(unsigned readLimit, const wchar_t* url, wchar_t* buffer) {
    const FetchAnswer failed{};
    if (url == nullptr || buffer == nullptr) return failed;
    const std::size_t capacity = readLimit / 2;  // wide characters, terminator included
    if (capacity == 0) return failed;

    const platform::HttpRead read = platform::httpGetOnce(url, readLimit, routeFor(url));
    // The buffer stays untouched, as the caller cleared it.
    if (!read.opened) return {FetchResult::NoAnswer, 0, std::nullopt};
    buffer[0] = L'\0';
    // Too many requests, or the service (or a proxy before it) overloaded,
    // starting or restarting: what it sent is no answer to the question.
    if (read.status && (*read.status == 429 || (*read.status >= 500 && *read.status <= 599))) {
        return {FetchResult::Busy, *read.status, read.retryAfterSeconds};
    }
    if (!read.readOk) return failed;

    // A full block without a zero byte means the body may go on behind it;
    // a text that does not fit the buffer is refused rather than cut, since
    // a cut listing or address ("10.0.0.12" -> "10.0.0.1") would still look
    // valid to the checks that follow.
    // A body that ended before the length the server announced was cut off
    // by the connection: its last entry may be a shorter, still valid text.
    if (read.contentLength &&
        read.bytes.size() < std::min<std::uint64_t>(*read.contentLength, readLimit)) {
        return failed;
    }

    const std::size_t zero = read.bytes.find('\0');
    if (zero == std::string::npos && read.bytes.size() >= readLimit) return failed;
    const std::wstring text = platform::ansiToWide(read.bytes.substr(0, zero));
    if (text.size() >= capacity) return failed;

    for (std::size_t i = 0; i < text.size(); ++i) buffer[i] = text[i];
    buffer[text.size()] = L'\0';
    return {FetchResult::Text, 0, std::nullopt};
}

platform::HttpRoute routeFor(const std::wstring& url) {
    // scheme://[userinfo@]host[:port][/path...]
    std::size_t start = url.find(L"://");
    start = start == std::wstring::npos ? 0 : start + 3;
    const std::size_t end = url.find_first_of(L"/?#", start);
    std::wstring authority = url.substr(start, end == std::wstring::npos ? end : end - start);
    const std::size_t at = authority.rfind(L'@');
    if (at != std::wstring::npos) authority.erase(0, at + 1);
    const std::wstring host = authority.substr(0, authority.find(L':'));

    const bool linkLocal = checkIpAddr(host.c_str()) != 0 && host.compare(0, 8, L"169.254.") == 0;
    return linkLocal ? platform::HttpRoute::Direct : platform::HttpRoute::SystemProxy;
}
