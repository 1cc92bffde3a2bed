// The metadata fetch over WinHTTP: one session, connection and request per
// fetch, the body read up to the limit, every handle closed before the fetch
// ends. WinHTTP rather than WinINet because the fetch runs in a service,
// where WinINet is not supported, and WinHTTP keeps no cache of answers.
#include "platform/win32/http_session.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/stop.h"

namespace {

using win32::HttpHandle;

// The agent the fetch has always named, so a metadata service or a proxy
// that logs or filters by it sees what it saw before.
constexpr wchar_t kAgent[] = L"Microsoft Internet Explorer";

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
    if (!::WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                               WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    return parseDecimal(text);
}

// Where a URL points, as WinHTTP takes it apart.
struct Target {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;  // with the query; never the fragment, which is not sent
    bool secure = false;
};

std::optional<Target> targetOf(const std::wstring& url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    // Lengths of -1 ask for pointers into the URL itself, so nothing here
    // can overflow a buffer of ours, whatever the URL's length.
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
        static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return std::nullopt;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return std::nullopt;
    if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) return std::nullopt;
    Target target;
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (parts.lpszUrlPath != nullptr) target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    target.path = target.path.substr(0, target.path.find(L'#'));
    if (target.path.empty() || target.path[0] != L'/') target.path.insert(0, L"/");
    return target;
}

// The fetch itself, on whichever thread calls it.
platform::HttpRead fetch(const std::wstring& url, std::size_t limit, platform::HttpRoute route) {
    platform::HttpRead result;
    const DWORD toRead = limit > MAXDWORD ? MAXDWORD : static_cast<DWORD>(limit);
    const std::optional<Target> target = targetOf(url);
    if (!target) return result;

    // Declared in this order so they close the other way round: the
    // request, the connection, then the session.
    const HttpHandle session = win32::openSession(route);
    if (!session) return result;
    const HttpHandle connection(::WinHttpConnect(session.get(), target->host.c_str(), target->port, 0));
    if (!connection) return result;
    // Refresh: a proxy on the way (where one is used at all) asks the server
    // too, rather than answering from its cache.
    const DWORD flags = WINHTTP_FLAG_REFRESH | (target->secure ? WINHTTP_FLAG_SECURE : 0);
    const HttpHandle request(::WinHttpOpenRequest(connection.get(), L"GET", target->path.c_str(), nullptr,
                                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request) return result;
    if (!::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(request.get(), nullptr)) {
        return result;
    }
    result.opened = true;

    // The announced length shows a body that the connection cut short; the
    // status and Retry-After, a service that asks to be asked again later.
    result.contentLength = headerNumber(request.get(), WINHTTP_QUERY_CONTENT_LENGTH);
    result.retryAfterSeconds = headerNumber(request.get(), WINHTTP_QUERY_RETRY_AFTER);
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        result.status = static_cast<unsigned>(status);
    }

    // A read gives what has arrived so far: read on to the end of the body
    // or the limit, whichever comes first.
    std::vector<char> block(toRead, '\0');
    DWORD received = 0;
    while (received < toRead) {
        DWORD got = 0;
        if (!::WinHttpReadData(request.get(), block.data() + received, toRead - received, &got)) return result;
        if (got == 0 || got > toRead - received) break;
        received += got;
    }
    result.readOk = true;
    result.bytes.assign(block.data(), received);
    return result;
}

// A fetch handed to a thread of its own. The thread and the caller share it,
// so whichever lets go last frees it: a caller that stopped waiting leaves
// the thread nothing of its own to touch.
struct Job {
    std::wstring url;
    std::size_t limit = 0;
    platform::HttpRoute route = platform::HttpRoute::Direct;
    platform::HttpRead read;
};

DWORD WINAPI fetchOnItsThread(LPVOID parameter) {
    const std::unique_ptr<std::shared_ptr<Job>> handed(static_cast<std::shared_ptr<Job>*>(parameter));
    Job& job = **handed;
    job.read = fetch(job.url, job.limit, job.route);
    return 0;
}

}  // namespace

namespace win32 {

HttpHandle openSession(platform::HttpRoute route) {
    // Straight, or through the proxy configured for WinHTTP on the machine
    // (not the one of a user's Internet Options).
    const DWORD access =
        route == platform::HttpRoute::Direct ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    HttpHandle session(::WinHttpOpen(kAgent, access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return session;
    // Requests opened through the session take its time-outs. WinHTTP's own
    // wait a minute to connect and 90 s for the answer's headers; a service
    // that accepts the connection and never answers would hold a boot-time
    // run (and the run lock) that long. Link-local metadata services answer
    // within milliseconds. Name resolution keeps its default (none): the
    // default host is an address, and a time-out there costs a thread per
    // request on the older systems.
    const int wait = static_cast<int>(kHttpTimeoutMilliseconds);
    ::WinHttpSetTimeouts(session.get(), 0, wait, wait, wait);
    DWORD headers = kHttpTimeoutMilliseconds;
    ::WinHttpSetOption(session.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headers, sizeof headers);
    return session;
}

}  // namespace win32

namespace platform {

HttpRead httpGetOnce(const std::wstring& url, std::size_t limit, HttpRoute route) {
    // A run from the console (no stop can come) asks on its own thread.
    const HANDLE stop = win32::stopEvent();
    if (stop == nullptr) return fetch(url, limit, route);
    if (::WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return HttpRead{};

    // The service asks on a thread of its own and waits for it or a stop,
    // whichever comes first: a stalled request can be ended neither by
    // closing its handle nor by its time-outs everywhere, and a stop must
    // not wait for a request that changes nothing. A request left behind
    // ends on its own, or with the process.
    const std::shared_ptr<Job> job = std::make_shared<Job>();
    job->url = url;
    job->limit = limit;
    job->route = route;
    auto* handed = new std::shared_ptr<Job>(job);
    const win32::KernelHandle worker(::CreateThread(nullptr, 0, fetchOnItsThread, handed, 0, nullptr));
    if (!worker) {
        delete handed;
        return fetch(url, limit, route);
    }
    const HANDLE waitOn[2] = {worker.get(), stop};
    // The thread's end first when both are there: its answer is whole.
    if (::WaitForMultipleObjects(2, waitOn, FALSE, INFINITE) != WAIT_OBJECT_0) return HttpRead{};
    return job->read;
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
