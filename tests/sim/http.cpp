// The simulated metadata service: every URL answers as a test scripted it,
// and an unscripted URL behaves like a host that cannot be reached.
#include <map>
#include <utility>

#include "platform/http.h"
#include "sim/sim.h"

namespace {

struct HttpState {
    std::map<std::wstring, sim::HttpAnswer> answers;
    std::vector<std::wstring> requests;
    std::vector<platform::HttpRoute> routes;
    std::optional<std::uint64_t> routeAddableFrom;  // set while the route is lost
};

HttpState& state() {
    static HttpState s;
    return s;
}

}  // namespace

namespace sim {

void resetHttp() { state() = HttpState(); }

void setHttpAnswer(const std::wstring& url, HttpAnswer answer) {
    state().answers[url] = std::move(answer);
}

void setHttpBody(const std::wstring& url, const std::string& body) {
    HttpAnswer answer;
    answer.kind = HttpAnswer::Kind::Body;
    answer.body = body;
    setHttpAnswer(url, std::move(answer));
}

const std::vector<std::wstring>& httpRequests() { return state().requests; }
const std::vector<platform::HttpRoute>& httpRoutes() { return state().routes; }
void loseRoute(std::uint64_t addableFrom) { state().routeAddableFrom = addableFrom; }
void applyCommandToRoute(const std::wstring& commandLine) {
    std::optional<std::uint64_t>& lost = state().routeAddableFrom;
    if (lost && commandLine.rfind(L"route add 169.254.0.0 ", 0) == 0 && nowMilliseconds() >= *lost) lost.reset();
}

}  // namespace sim

namespace platform {

HttpRead httpGetOnce(const std::wstring& url, std::size_t limit, HttpRoute route) {
    HttpState& s = state();
    s.requests.push_back(url);
    s.routes.push_back(route);

    HttpRead read;
    const auto found = s.answers.find(url);
    if (found == s.answers.end() || s.routeAddableFrom) return read;
    sim::HttpAnswer& answer = found->second;
    const bool early = sim::nowMilliseconds() < answer.answersFrom;
    if (early && answer.busyStatus == 0) {
        sim::advanceMilliseconds(answer.unansweredMilliseconds);
        return read;
    }
    if (answer.kind == sim::HttpAnswer::Kind::Unreachable) return read;

    read.opened = true;
    read.status = answer.status;
    read.retryAfterSeconds = answer.retryAfterSeconds;
    if (early || answer.busyTimes > 0) {
        answer.busyTimes -= answer.busyTimes > 0 ? 1 : 0;
        read.status = answer.busyStatus;
        sim::advanceMilliseconds(answer.busyMilliseconds);
    } else {
        sim::advanceMilliseconds(answer.milliseconds);
    }
    if (answer.kind == sim::HttpAnswer::Kind::ReadFails) return read;
    read.readOk = true;
    // One read delivers at most the limit, like the real single read.
    read.bytes = answer.body.substr(0, limit);
    read.contentLength = answer.announcedLength;
    return read;
}

// The simulated ANSI code page is Latin-1: one byte, one character.
std::wstring ansiToWide(const std::string& bytes) {
    std::wstring text;
    for (char c : bytes) {
        if (c == '\0') break;
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace platform
