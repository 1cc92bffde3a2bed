#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "core/adapter_config.h"

namespace {
bool allZero(const void* p, std::size_t bytes) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < bytes; ++i)
        if (b[i] != 0) return false;
    return true;
}
}  // namespace

TEST(AdapterConfig, FreshRecordIsAllZero) {
    AdapterConfig r;
    EXPECT_EQ(r.dhcp, 0);
    EXPECT_FALSE(r.ipList);
    EXPECT_FALSE(r.dnsList);
    EXPECT_TRUE(allZero(r.mask, sizeof r.mask));
    EXPECT_TRUE(allZero(r.gateway, sizeof r.gateway));
    EXPECT_TRUE(allZero(r.mac, sizeof r.mac));
    EXPECT_TRUE(allZero(r.adapterName, sizeof r.adapterName));
    // A record can never be copied, so its lists can never be freed twice.
    EXPECT_FALSE(std::is_copy_constructible<AdapterConfig>::value);
    EXPECT_FALSE(std::is_copy_assignable<AdapterConfigList>::value);
}

TEST(AdapterConfig, BoundedCopyKeepsWhatLiesBehindTheTerminator) {
    AdapterConfig r;
    copyText(r.mask, L"255.255.255.0");
    EXPECT_EQ(std::wstring(r.mask), L"255.255.255.0");
    EXPECT_EQ(r.mask[13], L'\0');
    EXPECT_TRUE(allZero(r.mask + 13, (30 - 13) * sizeof(wchar_t)));

    // A shorter text written later leaves the tail of the longer one.
    copyText(r.mask, L"255.0.0.0");
    EXPECT_EQ(std::wstring(r.mask), L"255.0.0.0");
    EXPECT_EQ(r.mask[10], L'5');

    // Too long for the field: cut to capacity - 1 and terminated.
    copyText(r.adapterName, std::wstring(100, L'n'));
    EXPECT_EQ(std::wstring(r.adapterName).size(), 63u);
    EXPECT_EQ(r.adapterName[63], L'\0');
}

TEST(AdapterConfigList, AppendTakesOverTheRecordAndItsLists) {
    AdapterConfigList list;
    AdapterConfig working;
    working.ipList = std::make_unique<TextList>(TextList{L"10.0.0.5", L"10.0.0.6"});
    copyText(working.gateway, L"10.0.0.1");
    working.mac[0] = 0x52;
    const TextList* addresses = working.ipList.get();

    list.append(std::move(working));
    clearRecord(working);
    working.ipList = std::make_unique<TextList>(TextList{L"192.168.1.1"});

    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ipList.get(), addresses);
    EXPECT_EQ(*list[0].ipList, (TextList{L"10.0.0.5", L"10.0.0.6"}));
    EXPECT_EQ(std::wstring(list[0].gateway), L"10.0.0.1");
    EXPECT_EQ(list[0].mac[0], 0x52);
    EXPECT_FALSE(list[0].dnsList);

    // Order of appending is the order of walking.
    AdapterConfig second;
    second.mac[0] = 0x53;
    second.dnsList = std::make_unique<TextList>();
    list.append(std::move(second));
    EXPECT_FALSE(second.dnsList);  // the producer's copy no longer owns it
    std::vector<int> order;
    for (const AdapterConfig& r : list) order.push_back(r.mac[0]);
    EXPECT_EQ(order, (std::vector<int>{0x52, 0x53}));
    ASSERT_TRUE(list[1].dnsList);
    EXPECT_TRUE(list[1].dnsList->empty());

    list.release();
    EXPECT_TRUE(list.empty());
}
