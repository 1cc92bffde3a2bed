#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/http.h"

// One GET of a metadata URL. `buffer` holds readLimit / 2 wide characters,
// terminator included, and has been cleared by the caller. Non-zero when the
// body was read and fits the buffer; 0 otherwise (the buffer then stays empty).
int fetchUrlText(unsigned readLimit, const wchar_t* url, wchar_t* buffer);

// The same fetch, telling a service that gave no answer at all (the request
// could not be opened: no route, no connection, a time-out) and one that
// said "ask again later" (Busy: status 429 or 5xx, the buffer left empty)
// from one that answered with something unusable. Every other answer, an
// error page included, is handled as its body says.
enum class FetchResult { Text, NoAnswer, Busy, Failed };
struct FetchAnswer {
    FetchResult result = FetchResult::Failed;
    unsigned status = 0;                         // with Busy: the answer's status
    std::optional<std::uint64_t> retryAfterSeconds;  // with Busy, when the service gave it
};
FetchAnswer fetchUrl(unsigned readLimit, const wchar_t* url, wchar_t* buffer);

// How the fetch reaches `url`: straight when its host is a link-local IPv4
// address (169.254.0.0/16), which no proxy could ever reach on this
// machine's behalf; through the system's proxy settings otherwise, since a
// named or routed host may be reachable only that way.
platform::HttpRoute routeFor(const std::wstring& url);
