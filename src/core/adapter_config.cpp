#include "core/adapter_config.h"

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
