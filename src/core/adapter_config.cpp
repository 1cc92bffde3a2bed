#include "core/adapter_config.h"

#include <cwchar>
#include <utility>

AdapterConfig::~AdapterConfig() {
    // Address list before DNS list, whatever the member order says.
    ipList.reset();
    dnsList.reset();
}

void clearRecord(AdapterConfig& record) {
    record = AdapterConfig();
}

AdapterConfigList& AdapterConfigList::operator=(AdapterConfigList&& other) noexcept {
    if (this != &other) {
        release();
        records_ = std::move(other.records_);
    }
    return *this;
}

AdapterConfigList::~AdapterConfigList() {
    release();
}

void AdapterConfigList::append(AdapterConfig&& record) {
    records_.push_back(std::move(record));
    clearRecord(record);
}

void AdapterConfigList::release() {
    for (AdapterConfig& record : records_) {
        record.ipList.reset();
        record.dnsList.reset();
    }
    records_.clear();
    records_.shrink_to_fit();
}

std::wstring hardwareAddressText(const std::uint8_t* mac, wchar_t separator, bool upper) {
    const wchar_t* digits = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring text;
    for (int i = 0; i < 6; ++i) {
        if (i > 0) text += separator;
        text += digits[mac[i] >> 4];
        text += digits[mac[i] & 0xF];
    }
    return text;
}
