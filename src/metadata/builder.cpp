#include "metadata/builder.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/ipv4_text.h"
#include "core/run_log.h"
#include "core/settings.h"
#include "metadata/fetch.h"
#include "metadata/parse.h"
#include "platform/system.h"

namespace {

// Read limits in bytes; each text buffer holds half as many wide characters.
constexpr unsigned kValueLimit = 60;
// The adapter listing's text holds up to 2047 characters: 107 entries of 19
// (address, "/", line feed). Large machine types have 15 adapters and some
// more, which 239 characters could not list.
constexpr unsigned kMacsLimit = 4096;
constexpr unsigned kIpsLimit = 1800;

template <std::size_t N>
void clearBuffer(wchar_t (&buffer)[N]) {
    std::fill(buffer, buffer + N, L'\0');
}

// Fetches into a cleared buffer; the fetch relies on the buffer holding
// half the read limit in wide characters.
template <unsigned ReadLimit, std::size_t N>
FetchAnswer fetchAnswerInto(const std::wstring& url, wchar_t (&buffer)[N]) {
    static_assert(ReadLimit / 2 == N, "text buffer does not match its read limit");
    clearBuffer(buffer);
    return fetchUrl(ReadLimit, url.c_str(), buffer);
}

std::uint32_t elapsedSince(std::uint32_t start) {
    return platform::tickMilliseconds() - start;  // survives the count's wrapping
}

unsigned wholeSeconds(std::uint32_t milliseconds) {
    return static_cast<unsigned>((milliseconds + 500) / 1000);
}

// A request after the first that the service answers "busy" is asked again
// a few times, further apart each time: at a mass boot the service and the
// proxies before it shed load for a few seconds. Nothing else is repeated.
constexpr std::uint32_t kBusyPausesMilliseconds[] = {1000, 2000, 4000};
constexpr std::uint32_t kLongestBusyPauseMilliseconds = 5000;
// All of a run's asking again of a busy service together, each pause and the
// request after it however long that took, stays within this, so that a
// service busy for good costs a machine of many adapters a minute, not one
// per adapter; after it a busy answer is a failed fetch at once.
constexpr std::uint32_t kBusyPausesPerRunMilliseconds = 60000;
std::uint32_t busySpentThisRun = 0;
// Set for the length of one call: a check asks nothing twice.
Asking asking = Asking::Run;

// The pause before asking a busy service again: never sooner than planned,
// later when the service asks for it (Retry-After), but never longer than
// the longest busy pause at once.
std::uint32_t busyPause(const FetchAnswer& answer, std::uint32_t planned) {
    const std::uint64_t asked = answer.retryAfterSeconds.value_or(0);
    if (asked >= kLongestBusyPauseMilliseconds / 1000) return kLongestBusyPauseMilliseconds;
    return std::max(static_cast<std::uint32_t>(asked) * 1000, planned);
}

template <unsigned ReadLimit, std::size_t N>
int fetchInto(const std::wstring& url, wchar_t (&buffer)[N]) {
    FetchAnswer answer = fetchAnswerInto<ReadLimit>(url, buffer);
    for (const std::uint32_t planned : kBusyPausesMilliseconds) {
        if (answer.result != FetchResult::Busy || asking == Asking::Check || platform::stopRequested()) break;
        const std::uint32_t pause = busyPause(answer, planned);
        if (busySpentThisRun + pause > kBusyPausesPerRunMilliseconds) break;
        if (planned == kBusyPausesMilliseconds[0]) {
            logWide(L"metadata service busy (HTTP %u) for %ls, asking again\n", answer.status,
                    url.c_str());
        }
        const std::uint32_t start = platform::tickMilliseconds();
        platform::sleepMilliseconds(pause);
        answer = fetchAnswerInto<ReadLimit>(url, buffer);
        busySpentThisRun += elapsedSince(start);
    }
    return answer.result == FetchResult::Text ? 1 : 0;
}

// Waiting for the service at boot. A start-up task often runs before the
// main adapter has its address, when nothing answers at the metadata address
// yet, and at a mass boot the service may answer "busy" for a while; the run
// that would have worked a few seconds later never comes. So the first
// request alone, and only while it gets no answer at all or a busy one, is
// made again for a while. Any other answer is taken as it is, at once.
constexpr std::uint32_t kServiceWaitMilliseconds = 120000;
// Attempts start this far apart (or as far as a busy service asks, up to the
// longest busy pause); one that itself took longer (an address nobody
// answers takes seconds to give up on) is followed at once.
constexpr std::uint32_t kAttemptSpacingMilliseconds = 1500;
// The route added at the start may have failed while the main adapter had
// no address, so it is added again now and then while the wait lasts,
// spread over the whole wait so that the last time falls in its final
// seconds...
constexpr std::uint32_t kRouteSpacingMilliseconds = 12000;
// ... as long as the wait's lines stay within this many, however long it
// lasts: a route command normally logs two lines, and one more closes the
// wait (nine times in all).
constexpr std::size_t kServiceWaitLines = 20;
constexpr std::size_t kRouteCommandLines = 2;

bool notAnsweredYet(const FetchAnswer& answer) {
    return answer.result == FetchResult::NoAnswer || answer.result == FetchResult::Busy;
}

// Everything counts from the first request: no try and no route starts
// after the bound.
template <unsigned ReadLimit, std::size_t N>
FetchResult fetchFirstWaiting(const std::wstring& url, wchar_t (&buffer)[N], RouteStep addRoute) {
    const std::uint32_t firstRequest = platform::tickMilliseconds();
    FetchAnswer answer = fetchAnswerInto<ReadLimit>(url, buffer);
    if (asking == Asking::Check) {
        // Nothing reached at all: the route may have gone with the main
        // adapter's reset. A check never waits, but adds it for the next
        // (not for a request that a stop cut short).
        if (answer.result == FetchResult::NoAnswer && addRoute != nullptr && !platform::stopRequested()) addRoute();
        return answer.result;
    }
    if (!notAnsweredYet(answer)) return answer.result;

    const std::size_t linesBefore = logLineCount();
    const unsigned boundSeconds = static_cast<unsigned>(kServiceWaitMilliseconds / 1000);
    if (answer.result == FetchResult::Busy) {
        logWide(L"metadata service busy (HTTP %u), waiting up to %u s for it\n", answer.status,
                boundSeconds);
    } else {
        logWide(L"no answer from the metadata service, waiting up to %u s for it\n", boundSeconds);
    }
    std::uint32_t routesAdded = 0;
    for (std::uint32_t attempt = firstRequest;;) {
        if (platform::stopRequested()) return answer.result;
        if (elapsedSince(firstRequest) >= kServiceWaitMilliseconds) break;
        if (addRoute != nullptr && elapsedSince(firstRequest) >= (routesAdded + 1) * kRouteSpacingMilliseconds &&
            logLineCount() - linesBefore + kRouteCommandLines + 1 <= kServiceWaitLines) {
            addRoute();
            ++routesAdded;
            continue;  // a route that hung may have taken the wait past its bound
        }
        const std::uint32_t spacing = answer.result == FetchResult::Busy
                                          ? busyPause(answer, kAttemptSpacingMilliseconds)
                                          : kAttemptSpacingMilliseconds;
        const std::uint32_t sinceAttempt = elapsedSince(attempt);
        if (sinceAttempt < spacing) {
            platform::sleepMilliseconds(std::min(spacing - sinceAttempt,
                                                 kServiceWaitMilliseconds - elapsedSince(firstRequest)));
            continue;
        }
        attempt = platform::tickMilliseconds();
        answer = fetchAnswerInto<ReadLimit>(url, buffer);
        if (!notAnsweredYet(answer)) {
            logWide(L"metadata service answered %u s after the first request\n",
                    wholeSeconds(elapsedSince(firstRequest)));
            return answer.result;
        }
    }
    if (answer.result == FetchResult::Busy) {
        logWide(L"metadata service still busy (HTTP %u) %u s after the first request\n", answer.status,
                wholeSeconds(elapsedSince(firstRequest)));
    } else {
        logWide(L"metadata service still unreachable %u s after the first request\n",
                wholeSeconds(elapsedSince(firstRequest)));
    }
    return answer.result;
}

void removeFirst(TextList& list, const std::wstring& text) {
    const auto found = std::find(list.begin(), list.end(), text);
    if (found != list.end()) list.erase(found);
}

// A resource of one listed adapter: the listing's URL, the entry as listed,
// then the resource's own path.
std::wstring entryUrl(const std::wstring& macsUrl, const std::wstring& entry,
                      const wchar_t* resource) {
    std::wstring url = macsUrl;
    url += entry;
    url += L"/";
    url += resource;
    return url;
}

// Fetches, logs and checks one address-valued resource (the gateway or the
// mask of the primary address) and copies it into the record's field.
// Non-zero when it did; on 0 `why` says why not.
template <std::size_t N>
int fetchAddressValue(const std::wstring& url, const wchar_t* fetchFailedLine,
                      const wchar_t* valueLine, const wchar_t* checkFailedLine,
                      const wchar_t* what, wchar_t (&field)[N], std::wstring& why) {
    wchar_t text[kValueLimit / 2];
    if (fetchInto<kValueLimit>(url, text) == 0) {
        logWide(fetchFailedLine, url.c_str());
        why = std::wstring(L"its ") + what + L" could not be fetched";
        return 0;
    }
    logWide(valueLine, text);
    if (checkIpAddr(text) == 0) {
        logWide(checkFailedLine);
        why = std::wstring(L"its ") + what + L" is not an IPv4 address";
        return 0;
    }
    copyText(field, text);
    return 1;
}

// How one listed adapter's turn ended.
enum class Turn { Built, NothingToConfigure, Dropped };

// One listed adapter's turn. On anything but Built the caller drops
// whatever was filled in; `why` says why an adapter was dropped.
Turn buildRecord(const std::wstring& macsUrl, const std::wstring& entry, AdapterConfig& record,
                 std::wstring& why) {
    wchar_t primaryText[kValueLimit / 2];
    wchar_t ipsText[kIpsLimit / 2];

    if (checkMac(entry.c_str()) == 0) {
        logWide(L"check mac error\n");
        why = L"the listing entry is not a hardware address";
        return Turn::Dropped;
    }
    clearRecord(record);

    std::wstring url = entryUrl(macsUrl, entry, L"primary-local-ipv4/");
    if (fetchInto<kValueLimit>(url, primaryText) == 0) {
        logWide(L"get primary-local-ipv4 error url:%ls\n", url.c_str());
        why = L"its primary address could not be fetched";
        return Turn::Dropped;
    }
    logWide(L"config main ip=%ls\n", primaryText);
    if (checkIpAddr(primaryText) == 0) {
        logWide(L"check main ip addr fail\n");
        why = L"its primary address is not an IPv4 address";
        return Turn::Dropped;
    }
    const std::wstring primaryIp = primaryText;

    url = entryUrl(macsUrl, entry, L"local-ipv4s/");
    if (fetchInto<kIpsLimit>(url, ipsText) == 0) {
        logWide(L"get local-ipv4s error url:%ls\n", url.c_str());
        why = L"its address list could not be fetched";
        return Turn::Dropped;
    }
    TextList vecIps = splitListing(ipsText, L"/");
    logNarrow("vecIps.size:%d\n", static_cast<int>(vecIps.size()));
    for (const std::wstring& ip : vecIps) {
        logWide(L"config ip=%ls\n", ip.c_str());
        if (checkIpAddr(ip.c_str()) == 0) {
            logWide(L"check ip addr fail\n");
            why = L"its address list holds something that is not an IPv4 address";
            return Turn::Dropped;
        }
    }
    // No address asked for: nothing to configure, and nothing left out.
    if (vecIps.empty()) return Turn::NothingToConfigure;

    // The primary address leads; its first listed copy gives way to it.
    removeFirst(vecIps, primaryIp);
    vecIps.insert(vecIps.begin(), primaryIp);
    record.ipList = std::make_unique<TextList>(std::move(vecIps));
    const std::wstring& firstIp = record.ipList->front();

    const std::wstring addressUrl = entryUrl(macsUrl, entry, L"local-ipv4s/") + firstIp;
    if (fetchAddressValue(addressUrl + L"/gateway", L"get gateway error url:%ls\n",
                          L"config gateway=%ls\n", L"check gateway addr fail\n", L"gateway",
                          record.gateway, why) == 0 ||
        fetchAddressValue(addressUrl + L"/subnet-mask", L"get mask error url:%ls\n",
                          L"config mask=%ls\n", L"check mask addr fail\n", L"subnet mask",
                          record.mask, why) == 0) {
        return Turn::Dropped;
    }

    logWide(L"config macaddr=%ls\n", entry.c_str());
    macTextToBytes(entry.c_str(), record.mac);  // cannot fail on a checked text
    return Turn::Built;
}

// Whether a listing entry names the adapter with these six bytes, whatever
// the letter case of the text.
bool namesAdapter(const std::wstring& entry, const std::uint8_t* mac) {
    if (checkMac(entry.c_str()) == 0) return false;
    std::uint8_t bytes[6] = {};
    macTextToBytes(entry.c_str(), bytes);
    return std::equal(std::begin(bytes), std::end(bytes), mac);
}

}  // namespace

std::unique_ptr<AdapterConfigList> getDesiredConfig(RouteStep addRoute, std::size_t* leftOut, Asking how) {
    asking = how;
    if (leftOut != nullptr) *leftOut = 0;
    auto result = std::make_unique<AdapterConfigList>();
    const std::wstring& baseUrl = settings().metadataBaseUrl;
    wchar_t mainMacText[kValueLimit / 2];
    wchar_t macsText[kMacsLimit / 2];

    busySpentThisRun = 0;
    const std::wstring mainMacUrl = baseUrl + L"/meta-data/mac";
    if (fetchFirstWaiting<kValueLimit>(mainMacUrl, mainMacText, addRoute) != FetchResult::Text) {
        if (platform::stopRequested()) return nullptr;
        logWide(L"get main mac error url:%ls\n", mainMacUrl.c_str());
        return nullptr;
    }
    logWide(L"main mac=%ls\n", mainMacText);
    // Taken as fetched: a trailing line feed makes it fail the check.
    const std::wstring mainMac = mainMacText;
    if (checkMac(mainMac.c_str()) == 0) {
        logWide(L"main mac error\n");
        return nullptr;
    }

    const std::wstring macsUrl = baseUrl + L"/meta-data/network/interfaces/macs/";
    if (fetchInto<kMacsLimit>(macsUrl, macsText) == 0) {
        logWide(L"get macs error url:%ls\n", macsUrl.c_str());
        return nullptr;
    }
    TextList vecMacs = splitListing(macsText, L"/");
    // A listing without a single entry, not even the machine's own, is no
    // answer to go by.
    const bool listedAny = !vecMacs.empty();
    // The machine's own adapter is never touched, however often and in
    // whatever letter case the listing names it.
    std::uint8_t mainBytes[6] = {};
    macTextToBytes(mainMac.c_str(), mainBytes);  // cannot fail on a checked text
    vecMacs.erase(std::remove_if(vecMacs.begin(), vecMacs.end(),
                                 [&](const std::wstring& entry) { return namesAdapter(entry, mainBytes); }),
                  vecMacs.end());

    logNarrow("vecMacs.size:%d\n", static_cast<int>(vecMacs.size()));
    for (const std::wstring& mac : vecMacs) logWide(L"mac=%ls\n", mac.c_str());

    AdapterConfig record;
    std::wstring why;
    std::size_t dropped = 0;
    for (const std::wstring& entry : vecMacs) {
        const Turn turn = buildRecord(macsUrl, entry, record, why);
        if (platform::stopRequested()) return nullptr;
        if (turn == Turn::Built) {
            result->append(std::move(record));
            continue;
        }
        clearRecord(record);  // a skipped adapter leaves nothing behind
        // An adapter with no address asked for is no news, for a run and a
        // check alike: nothing is ever taken away because a list came back
        // empty.
        if (turn == Turn::NothingToConfigure) continue;
        if (how == Asking::Check) return nullptr;
        // The others are still configured, but the run must not say it
        // configured the machine: this adapter stays without its network.
        logWide(L"adapter %ls not configured: %ls\n", entry.c_str(), why.c_str());
        ++dropped;
    }
    if (leftOut != nullptr) *leftOut = dropped;

    // Nothing built and nothing left out is the service's answer for most
    // machines (one adapter): nothing to configure, an empty list.
    if (result->empty() && (dropped > 0 || !listedAny)) return nullptr;
    return result;
}

std::optional<bool> adapterListed(const std::uint8_t* mac) {
    wchar_t macsText[kMacsLimit / 2];
    const std::wstring macsUrl = settings().metadataBaseUrl + L"/meta-data/network/interfaces/macs/";
    if (fetchAnswerInto<kMacsLimit>(macsUrl, macsText).result != FetchResult::Text) return std::nullopt;
    const TextList entries = splitListing(macsText, L"/");
    if (entries.empty()) return std::nullopt;
    return std::any_of(entries.begin(), entries.end(),
                       [&](const std::wstring& entry) { return namesAdapter(entry, mac); });
}
