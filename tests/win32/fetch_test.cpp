// The metadata fetch over the real WinHTTP, against the loopback server that
// the ctest fixture starts (tests/win32/http_fixture.py).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "metadata/fetch.h"
#include "platform/win32/http_session.h"
#include "support/guarded_buffer.h"

namespace {

std::wstring portFrom(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    const std::string text = value != nullptr && *value != '\0' ? value : fallback;
    return std::wstring(text.begin(), text.end());
}

std::wstring serverUrl(const std::wstring& path) {
    return L"http://127.0.0.1:" + portFrom("ADDRSMITH_FETCH_PORT", "18471") + path;
}

}  // namespace

TEST(FetchOverWinHttp, BodyAndErrorPageArriveAsText) {
    GuardedBuffer mac(60);
    ASSERT_NE(fetchUrlText(60, serverUrl(L"/meta-data/mac").c_str(), mac.data()), 0);
    EXPECT_EQ(mac.text(), L"52:54:00:ab:cd:ef");

    // A 404 page is the text, as any answer but a busy one.
    GuardedBuffer page(60);
    ASSERT_NE(fetchUrlText(60, serverUrl(L"/meta-data/nothing").c_str(), page.data()), 0);
    EXPECT_EQ(page.text(), L"<h1>404 Not Found</h1>");

    GuardedBuffer empty(60, L'x');
    ASSERT_NE(fetchUrlText(60, serverUrl(L"/empty").c_str(), empty.data()), 0);
    EXPECT_EQ(empty.text(), L"");

    // "Ask again later": its page is no answer, its status and Retry-After are.
    GuardedBuffer busy(60);
    const FetchAnswer busyAnswer = fetchUrl(60, serverUrl(L"/busy").c_str(), busy.data());
    EXPECT_EQ(busyAnswer.result, FetchResult::Busy);
    EXPECT_EQ(busyAnswer.status, 503u);
    EXPECT_EQ(busyAnswer.retryAfterSeconds, std::optional<std::uint64_t>(3));
    EXPECT_EQ(busy.text(), L"");

    GuardedBuffer fits(60);
    ASSERT_NE(fetchUrlText(60, serverUrl(L"/fits").c_str(), fits.data()), 0);
    EXPECT_EQ(fits.text(), std::wstring(29, L'y'));

    EXPECT_TRUE(mac.guardsIntact() && page.guardsIntact() && empty.guardsIntact() &&
                fits.guardsIntact());
}

TEST(FetchOverWinHttp, OversizedBodyFails) {
    GuardedBuffer buffer(60);
    EXPECT_EQ(fetchUrlText(60, serverUrl(L"/long").c_str(), buffer.data()), 0);
    EXPECT_EQ(buffer.text(), L"");
    EXPECT_TRUE(buffer.guardsIntact());

    // 2048 bytes for the adapter listing's 4096-byte read: refused whole.
    GuardedBuffer listing(4096);
    EXPECT_EQ(fetchUrlText(4096, serverUrl(L"/listing-too-long").c_str(), listing.data()), 0);
    EXPECT_EQ(listing.text(), L"");
    EXPECT_TRUE(listing.guardsIntact());
}

TEST(FetchOverWinHttp, BodyInTwoPiecesArrivesWhole) {
    // The one read waits for the rest of a body sent in two pieces.
    GuardedBuffer buffer(60);
    ASSERT_NE(fetchUrlText(60, serverUrl(L"/slow").c_str(), buffer.data()), 0);
    EXPECT_EQ(buffer.text(), L"10.0.0.12");

    // So it does for the largest adapter listing, 2047 bytes in three pieces.
    GuardedBuffer listing(4096);
    ASSERT_NE(fetchUrlText(4096, serverUrl(L"/slow-listing").c_str(), listing.data()), 0);
    std::wstring expected;
    for (int i = 0; i < 107; ++i) {
        wchar_t entry[20];
        std::swprintf(entry, 20, L"52:54:00:ab:cd:%02x/\n", i);
        expected += entry;
    }
    expected.resize(2047, L'\n');
    EXPECT_EQ(listing.text(), expected);
    EXPECT_TRUE(listing.guardsIntact());
}

TEST(FetchOverWinHttp, SessionCarriesItsTimeOuts) {
    // The session the fetch opens gives up on a server after 15 s, not
    // WinHTTP's defaults (a minute to connect, 90 s for the headers). Wine
    // keeps them but never fires the receive ones, so this reads them back.
    const win32::HttpHandle session = win32::openSession(platform::HttpRoute::Direct);
    ASSERT_TRUE(session);
    for (const DWORD option : {WINHTTP_OPTION_CONNECT_TIMEOUT, WINHTTP_OPTION_SEND_TIMEOUT,
                               WINHTTP_OPTION_RECEIVE_TIMEOUT, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT}) {
        DWORD milliseconds = 0;
        DWORD size = sizeof milliseconds;
        ASSERT_TRUE(::WinHttpQueryOption(session.get(), option, &milliseconds, &size)) << option;
        EXPECT_EQ(milliseconds, 15000u) << option;
    }
}

TEST(FetchOverWinHttp, UnreachablePortFailsAndLeavesTheBuffer) {
    const std::wstring url =
        L"http://127.0.0.1:" + portFrom("ADDRSMITH_FETCH_CLOSED_PORT", "18472") + L"/meta-data/mac";
    GuardedBuffer buffer(60, L'x');
    EXPECT_EQ(fetchUrlText(60, url.c_str(), buffer.data()), 0);
    EXPECT_EQ(buffer.storage[0], L'x');
    EXPECT_TRUE(buffer.guardsIntact());
}
