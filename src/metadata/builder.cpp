#include "metadata/builder.h"

#include <algorithm>
#include <utility>

#include "core/ipv4_text.h"
#include "core/run_log.h"
#include "core/settings.h"
#include "metadata/fetch.h"
#include "metadata/parse.h"

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
int fetchInto(const std::wstring& url, wchar_t (&buffer)[N]) {
    static_assert(ReadLimit / 2 == N, "text buffer does not match its read limit");
    clearBuffer(buffer);
    return fetchUrlText(ReadLimit, url.c_str(), buffer);
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
template <std::size_t N>
int fetchAddressValue(const std::wstring& url, const wchar_t* fetchFailedLine,
                      const wchar_t* valueLine, const wchar_t* checkFailedLine,
                      wchar_t (&field)[N]) {
    wchar_t text[kValueLimit / 2];
    if (fetchInto<kValueLimit>(url, text) == 0) {
        logWide(fetchFailedLine, url.c_str());
        return 0;
    }
    logWide(valueLine, text);
    if (checkIpAddr(text) == 0) {
        logWide(checkFailedLine);
        return 0;
    }
    copyText(field, text);
    return 1;
}

// One listed adapter's turn. Non-zero when the record is complete; on 0
// the caller drops whatever was filled in.
int buildRecord(const std::wstring& macsUrl, const std::wstring& entry, AdapterConfig& record) {
    wchar_t primaryText[kValueLimit / 2];
    wchar_t ipsText[kIpsLimit / 2];

    if (checkMac(entry.c_str()) == 0) {
        logWide(L"check mac error\n");
        return 0;
    }
    clearRecord(record);

    std::wstring url = entryUrl(macsUrl, entry, L"primary-local-ipv4/");
    if (fetchInto<kValueLimit>(url, primaryText) == 0) {
        logWide(L"get primary-local-ipv4 error url:%ls\n", url.c_str());
        return 0;
    }
    logWide(L"config main ip=%ls\n", primaryText);
    if (checkIpAddr(primaryText) == 0) {
        logWide(L"check main ip addr fail\n");
        return 0;
    }
    const std::wstring primaryIp = primaryText;

    url = entryUrl(macsUrl, entry, L"local-ipv4s/");
    if (fetchInto<kIpsLimit>(url, ipsText) == 0) {
        logWide(L"get local-ipv4s error url:%ls\n", url.c_str());
        return 0;
    }
    TextList vecIps = splitListing(ipsText, L"/");
    logNarrow("vecIps.size:%d\n", static_cast<int>(vecIps.size()));
    for (const std::wstring& ip : vecIps) {
        logWide(L"config ip=%ls\n", ip.c_str());
        if (checkIpAddr(ip.c_str()) == 0) {
            logWide(L"check ip addr fail\n");
            return 0;
        }
    }
    if (vecIps.empty()) return 0;

    // The primary address leads; its first listed copy gives way to it.
    removeFirst(vecIps, primaryIp);
    vecIps.insert(vecIps.begin(), primaryIp);
    record.ipList = std::make_unique<TextList>(std::move(vecIps));
    const std::wstring& firstIp = record.ipList->front();

    const std::wstring addressUrl = entryUrl(macsUrl, entry, L"local-ipv4s/") + firstIp;
    if (fetchAddressValue(addressUrl + L"/gateway", L"get gateway error url:%ls\n",
                          L"config gateway=%ls\n", L"check gateway addr fail\n",
                          record.gateway) == 0) {
        return 0;
    }
    if (fetchAddressValue(addressUrl + L"/subnet-mask", L"get mask error url:%ls\n",
                          L"config mask=%ls\n", L"check mask addr fail\n", record.mask) == 0) {
        return 0;
    }

    logWide(L"config macaddr=%ls\n", entry.c_str());
    macTextToBytes(entry.c_str(), record.mac);  // cannot fail on a checked text
    return 1;
}

}  // namespace

std::unique_ptr<AdapterConfigList> getDesiredConfig() {
    auto result = std::make_unique<AdapterConfigList>();
    const std::wstring& baseUrl = settings().metadataBaseUrl;
    wchar_t mainMacText[kValueLimit / 2];
    wchar_t macsText[kMacsLimit / 2];

    const std::wstring mainMacUrl = baseUrl + L"/meta-data/mac";
    if (fetchInto<kValueLimit>(mainMacUrl, mainMacText) == 0) {
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
    // The machine's own adapter is never touched.
    removeFirst(vecMacs, mainMac);

    logNarrow("vecMacs.size:%d\n", static_cast<int>(vecMacs.size()));
    for (const std::wstring& mac : vecMacs) logWide(L"mac=%ls\n", mac.c_str());

    AdapterConfig record;
    for (const std::wstring& entry : vecMacs) {
        if (buildRecord(macsUrl, entry, record) != 0) {
            result->append(std::move(record));
        } else {
            clearRecord(record);  // a skipped adapter leaves nothing behind
        }
    }

    if (result->empty()) return nullptr;
    return result;
}
