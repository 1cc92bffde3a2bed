// One plain HTTP GET of a URL, read once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct HttpRead {
    bool opened = false;  // the URL could be opened (server reached)
    bool readOk = false;  // the one read succeeded
    std::string bytes;    // what the one read delivered, at most the limit
    // The body's length as the server announced it, when it did.
    std::optional<std::uint64_t> contentLength;
    // The answer's HTTP status, and its Retry-After when given in seconds.
    std::optional<unsigned> status;
    std::optional<std::uint64_t> retryAfterSeconds;
};

// How the session reaches the server: straight, or through whatever proxy
// the system is configured to use.
enum class HttpRoute { Direct, SystemProxy };

// Opens the URL without any cache and performs a single read of at most
// `limit` bytes of the body. Handles are opened and closed within the call.
// A server that does not connect, take the request or answer within 15 s
// (each) fails the open: no answer, as when nothing is there at all. So does
// a stop (see stopRequested), at once, whatever the request is waiting for.
HttpRead httpGetOnce(const std::wstring& url, std::size_t limit, HttpRoute route);

// The system's ANSI code page to wide text (stops at the first zero byte).
std::wstring ansiToWide(const std::string& bytes);

}  // namespace platform
