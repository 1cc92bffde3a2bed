#include <cwchar>
#include <string>
#include <vector>

#include "metadata/fetch.h"
#include "sim/sim.h"
#include "support/guarded_buffer.h"
#include "support/sim_test.h"

namespace {

const std::wstring kUrl = L"http://169.254.0.254/meta-data/mac";

class FetchTest : public SimTest {};

}  // namespace

TEST_F(FetchTest, BodyErrorPageAndEmptyBodyAreFetchedText) {
    GuardedBuffer buffer(60);
    sim::setHttpBody(kUrl, "52:54:00:ab:cd:ef");
    EXPECT_NE(fetchUrlText(60, kUrl.c_str(), buffer.data()), 0);
    EXPECT_EQ(buffer.text(), L"52:54:00:ab:cd:ef");

    // A 404 page is text like any answer but a busy one.
    const std::wstring missing = L"http://169.254.0.254/meta-data/nothing";
    sim::setHttpBody(missing, "<h1>404 Not Found</h1>");
    GuardedBuffer page(60);
    EXPECT_NE(fetchUrlText(60, missing.c_str(), page.data()), 0);
    EXPECT_EQ(page.text(), L"<h1>404 Not Found</h1>");

    const std::wstring empty = L"http://169.254.0.254/empty";
    sim::setHttpBody(empty, "");
    GuardedBuffer nothing(60, L'x');
    EXPECT_NE(fetchUrlText(60, empty.c_str(), nothing.data()), 0);
    EXPECT_EQ(nothing.text(), L"");

    // The text ends at a zero byte in the body.
    const std::wstring zero = L"http://169.254.0.254/zero";
    sim::setHttpBody(zero, std::string("10.0.0.5\0junk", 13));
    GuardedBuffer cut(60);
    EXPECT_NE(fetchUrlText(60, zero.c_str(), cut.data()), 0);
    EXPECT_EQ(cut.text(), L"10.0.0.5");

    EXPECT_TRUE(buffer.guardsIntact() && page.guardsIntact() && nothing.guardsIntact());
    EXPECT_EQ(sim::httpRequests(), (std::vector<std::wstring>{kUrl, missing, empty, zero}));
}

TEST_F(FetchTest, OnlyTooManyRequestsAndServerErrorsSayAskAgainLater) {
    for (const auto& [status, busy] : {std::pair{200u, false}, {404u, false}, {429u, true}, {499u, false},
                                       {500u, true}, {503u, true}, {599u, true}, {600u, false}}) {
        sim::HttpAnswer answer;
        answer.body = "<h1>Service Unavailable</h1>";
        answer.status = status;
        answer.retryAfterSeconds = 7;
        sim::setHttpAnswer(kUrl, answer);
        GuardedBuffer buffer(60, L'x');
        const FetchAnswer got = fetchUrl(60, kUrl.c_str(), buffer.data());
        EXPECT_EQ(got.result, busy ? FetchResult::Busy : FetchResult::Text) << status;
        EXPECT_EQ(buffer.text(), busy ? L"" : L"<h1>Service Unavailable</h1>");
        EXPECT_EQ(got.retryAfterSeconds, busy ? std::optional<std::uint64_t>(7) : std::nullopt);
        EXPECT_EQ(got.status, busy ? status : 0u);
    }
}

TEST_F(FetchTest, FailuresLeaveNoText) {
    // Unreachable: the buffer is not touched at all.
    GuardedBuffer unreachable(60, L'x');
    EXPECT_EQ(fetchUrlText(60, kUrl.c_str(), unreachable.data()), 0);
    EXPECT_EQ(unreachable.storage[0], L'x');

    sim::HttpAnswer down;
    down.kind = sim::HttpAnswer::Kind::Unreachable;
    down.body = "ignored";
    sim::setHttpAnswer(kUrl, down);
    GuardedBuffer refused(60);
    EXPECT_EQ(fetchUrlText(60, kUrl.c_str(), refused.data()), 0);
    EXPECT_EQ(refused.text(), L"");

    // A failed read leaves an empty text.
    sim::HttpAnswer broken;
    broken.kind = sim::HttpAnswer::Kind::ReadFails;
    broken.body = "10.0.0.5";
    sim::setHttpAnswer(kUrl, broken);
    GuardedBuffer readFails(60, L'x');
    EXPECT_EQ(fetchUrlText(60, kUrl.c_str(), readFails.data()), 0);
    EXPECT_EQ(readFails.text(), L"");

    EXPECT_EQ(sim::httpRequests().size(), 3u);

    // Nothing to fetch with or into: no request is made.
    GuardedBuffer unused(60);
    EXPECT_EQ(fetchUrlText(60, nullptr, unused.data()), 0);
    EXPECT_EQ(fetchUrlText(60, kUrl.c_str(), nullptr), 0);
    EXPECT_EQ(sim::httpRequests().size(), 3u);
}

TEST_F(FetchTest, BodyMustFitTheBufferWithItsTerminator) {
    for (unsigned limit : {60u, 1800u, 4096u}) {  // the builder's limits
        const unsigned capacity = limit / 2;
        struct Case {
            std::size_t length;
            bool fits;
        };
        // Just under the buffer fits; from the buffer's size on, and for a
        // body that fills or overflows the one read, the fetch fails.
        const Case cases[] = {{capacity - 1, true}, {capacity, false}, {capacity + 1, false},
                              {limit - 1, false},   {limit, false},    {limit + 1, false},
                              {limit * 3, false}};
        for (const Case& c : cases) {
            sim::resetHttp();
            std::string body(c.length, '7');
            body[0] = 'A';  // so that a shifted copy would show
            sim::setHttpBody(kUrl, body);
            GuardedBuffer buffer(limit);
            const int result = fetchUrlText(limit, kUrl.c_str(), buffer.data());
            SCOPED_TRACE("limit " + std::to_string(limit) + " length " +
                         std::to_string(c.length));
            EXPECT_TRUE(buffer.guardsIntact());
            if (c.fits) {
                EXPECT_NE(result, 0);
                EXPECT_EQ(buffer.text(), widen(body));
            } else {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(buffer.text(), L"");  // never a shortened text
            }
        }
    }
}

TEST_F(FetchTest, NeverCutsAnAddressShort) {
    // "10.0.0.12" cut to "10.0.0.1" would pass every check that follows.
    GuardedBuffer buffer(20);  // room for 9 characters and the terminator
    sim::setHttpBody(kUrl, "10.0.0.12");
    EXPECT_NE(fetchUrlText(20, kUrl.c_str(), buffer.data()), 0);
    EXPECT_EQ(buffer.text(), L"10.0.0.12");

    sim::setHttpBody(kUrl, "10.0.0.123");
    GuardedBuffer tooSmall(20);
    EXPECT_EQ(fetchUrlText(20, kUrl.c_str(), tooSmall.data()), 0);
    EXPECT_EQ(tooSmall.text(), L"");
    EXPECT_TRUE(buffer.guardsIntact() && tooSmall.guardsIntact());
}

TEST_F(FetchTest, BodyCutShortOfItsAnnouncedLengthFails) {
    // "10.1.0.67" cut by a closed connection still reads as a valid address.
    const std::wstring ips = L"http://169.254.0.254/ips";
    sim::HttpAnswer cut;
    cut.body = "10.1.0.5/\n10.1.0.6";
    cut.announcedLength = 20;
    sim::setHttpAnswer(ips, cut);
    GuardedBuffer buffer(1800);
    EXPECT_EQ(fetchUrlText(1800, ips.c_str(), buffer.data()), 0);
    EXPECT_EQ(buffer.text(), L"");

    // Whole bodies pass, and so does one announced longer than the read
    // limit once the limit's worth has arrived (the length check for what
    // does not fit comes after).
    cut.announcedLength = 18;
    sim::setHttpAnswer(ips, cut);
    EXPECT_NE(fetchUrlText(1800, ips.c_str(), buffer.data()), 0);
    EXPECT_EQ(buffer.text(), L"10.1.0.5/\n10.1.0.6");

    sim::HttpAnswer value;
    value.body = "10.0.0.1";
    value.announcedLength = 100000;
    sim::setHttpAnswer(kUrl, value);
    GuardedBuffer small(60);
    EXPECT_EQ(fetchUrlText(60, kUrl.c_str(), small.data()), 0);  // 8 of 60 bytes came
}

TEST_F(FetchTest, LinkLocalServiceIsReachedStraightEverythingElseThroughTheSystemProxy) {
    using platform::HttpRoute;
    const struct {
        const wchar_t* url;
        HttpRoute route;
    } cases[] = {
        {L"http://169.254.0.254/meta-data/mac", HttpRoute::Direct},
        {L"http://169.254.169.254:80/latest", HttpRoute::Direct},
        {L"HTTP://user@169.254.1.2", HttpRoute::Direct},
        // Other literals, and names, may need the proxy to be reached at all.
        {L"http://10.0.0.254/meta-data/mac", HttpRoute::SystemProxy},
        {L"http://169.255.0.254/", HttpRoute::SystemProxy},
        {L"http://metadata.internal/meta-data/mac", HttpRoute::SystemProxy},
        // Only a whole literal counts, not a name that starts like one.
        {L"http://169.254.0.254.example.com/", HttpRoute::SystemProxy},
        {L"http://169.254.0/", HttpRoute::SystemProxy},
        {L"http://[fe80::1]/", HttpRoute::SystemProxy},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(routeFor(c.url), c.route) << std::string(c.url, c.url + std::wcslen(c.url));
    }

    // The fetch hands its route to the session it opens.
    GuardedBuffer buffer(60);
    fetchUrlText(60, kUrl.c_str(), buffer.data());
    fetchUrlText(60, L"http://metadata.internal/meta-data/mac", buffer.data());
    EXPECT_EQ(sim::httpRoutes(), (std::vector<HttpRoute>{HttpRoute::Direct, HttpRoute::SystemProxy}));
}
