// One adapter's IPv4 settings and identity, and the ordered list of them that
// every step of a run exchanges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using TextList = std::vector<std::wstring>;

struct AdapterConfig {
    std::int32_t dhcp = 0;              // 0: static settings; always 0 here
    std::unique_ptr<TextList> ipList;   // dotted IPv4 texts, or none
    std::unique_ptr<TextList> dnsList;  // dotted IPv4 texts, or none
    wchar_t mask[30] = {};
    wchar_t gateway[30] = {};
    std::uint8_t mac[6] = {};
    wchar_t adapterName[64] = {};

    AdapterConfig() = default;
    // Records own their lists, so they move and never copy: a list can only
    // ever be released through one record.
    AdapterConfig(AdapterConfig&&) noexcept = default;
    AdapterConfig& operator=(AdapterConfig&&) noexcept = default;
    AdapterConfig(const AdapterConfig&) = delete;
    AdapterConfig& operator=(const AdapterConfig&) = delete;
    ~AdapterConfig();
};

// Bounded copy into a fixed text field: at most N - 1 characters and the
// terminator; what lies behind the terminator is left as it was.
template <std::size_t N>
void copyText(wchar_t (&field)[N], const std::wstring& text) {
    const std::size_t count = text.size() < N - 1 ? text.size() : N - 1;
    for (std::size_t i = 0; i < count; ++i) field[i] = text[i];
    field[count] = L'\0';
}

// Clears a record back to all zero, releasing any lists it held.
void clearRecord(AdapterConfig& record);

class AdapterConfigList {
public:
    AdapterConfigList() = default;
    AdapterConfigList(AdapterConfigList&&) noexcept = default;
    AdapterConfigList& operator=(AdapterConfigList&&) noexcept;
    AdapterConfigList(const AdapterConfigList&) = delete;
    AdapterConfigList& operator=(const AdapterConfigList&) = delete;
    ~AdapterConfigList();

    // Takes the record over at the end of the list, lists included; the
    // caller's record is left empty.
    void append(AdapterConfig&& record);

    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    AdapterConfig& operator[](std::size_t i) { return records_[i]; }
    const AdapterConfig& operator[](std::size_t i) const { return records_[i]; }
    std::vector<AdapterConfig>::iterator begin() { return records_.begin(); }
    std::vector<AdapterConfig>::iterator end() { return records_.end(); }
    std::vector<AdapterConfig>::const_iterator begin() const { return records_.begin(); }
    std::vector<AdapterConfig>::const_iterator end() const { return records_.end(); }

    // Releases every record's lists in list order (addresses, then DNS
    // servers), then the records themselves.
    void release();

private:
    std::vector<AdapterConfig> records_;
};

// A hardware address as text: six two-digit hexadecimal groups joined by
// `separator`, in lower case unless `upper`. The log, the saved file and
// the operator's commands each keep the form they have always shown.
std::wstring hardwareAddressText(const std::uint8_t* mac, wchar_t separator, bool upper = false);
