#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "core/ipv4_text.h"
#include "metadata/parse.h"

namespace {

TextList list(std::initializer_list<const wchar_t*> items) {
    TextList out;
    for (const wchar_t* item : items) out.push_back(item);
    return out;
}

}  // namespace

TEST(SplitListing, EntriesWithAndWithoutTheirSlash) {
    const TextList two = list({L"52:54:00:ab:cd:ef", L"fa:16:3e:00:00:01"});
    EXPECT_EQ(splitListing(L"52:54:00:ab:cd:ef/\nfa:16:3e:00:00:01/", L"/"), two);
    EXPECT_EQ(splitListing(L"52:54:00:ab:cd:ef/\nfa:16:3e:00:00:01", L"/"), two);
    EXPECT_EQ(splitListing(L"52:54:00:ab:cd:ef//\nfa:16:3e:00:00:01/", L"/"), two);
    EXPECT_EQ(splitListing(L"52:54:00:ab:cd:ef/\nfa:16:3e:00:00:01/\n\n", L"/"), two);
    // A one-entry answer without any separator or line feed is still an entry.
    EXPECT_EQ(splitListing(L"10.0.0.5", L"/"), list({L"10.0.0.5"}));
}

TEST(SplitListing, NothingButSeparatorsGivesNoEntry) {
    EXPECT_TRUE(splitListing(L"", L"/").empty());
    EXPECT_TRUE(splitListing(L"/", L"/").empty());
    EXPECT_TRUE(splitListing(L"\n/\n\n//\n", L"/").empty());
}

TEST(SplitListing, OnlyLineFeedsAtThePieceEndsAreTrimmed) {
    EXPECT_EQ(splitListing(L" a /\ta/a\nb/", L"/"), list({L" a ", L"\ta", L"a\nb"}));
}

TEST(SplitListing, CarriageReturnsStayAndSpoilTheEntries) {
    const TextList entries =
        splitListing(L"52:54:00:ab:cd:ef/\r\nfa:16:3e:00:00:01/\r\n", L"/");
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[0], L"52:54:00:ab:cd:ef");
    EXPECT_EQ(checkMac(entries[0].c_str()), 1);
    for (std::size_t i = 1; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i][0], L'\r') << i;
        EXPECT_EQ(checkMac(entries[i].c_str()), 0) << i;
    }
    const TextList ips = splitListing(L"10.0.0.5/\r\n10.0.0.6/\r\n", L"/");
    ASSERT_GE(ips.size(), 2u);
    EXPECT_EQ(checkIpAddr(ips[0].c_str()), 1);
    EXPECT_EQ(checkIpAddr(ips[1].c_str()), 0);
}

TEST(TrimLineFeeds, BothEndsOnly) {
    EXPECT_EQ(trimLineFeeds(L"\n\n10.0.0.1\n\n"), L"10.0.0.1");
    EXPECT_EQ(trimLineFeeds(L"\n\n\n"), L"");
    EXPECT_EQ(trimLineFeeds(L""), L"");
    EXPECT_EQ(trimLineFeeds(L"\r\na\n b\r"), L"\r\na\n b\r");
}

TEST(CheckMac, AcceptsSixColonGroupsInAnyCase) {
    EXPECT_EQ(checkMac(L"52:54:00:ab:CD:eF"), 1);
    EXPECT_EQ(checkMac(L"00:00:00:00:00:00"), 1);
    EXPECT_EQ(checkMac(L"FF:FF:FF:FF:FF:FF"), 1);
}

TEST(CheckMac, RejectsOtherForms) {
    EXPECT_EQ(checkMac(nullptr), 0);
    for (const wchar_t* text : {
             L"",                     L"52-54-00-ab-cd-ef",   L"52:54:00:ab:cd:ef\n",
             L"525:4:00:ab:cd:ef",    L"52:54:00:ab:cd:eg",   L"52:54:00:ab:cd:e",
             L"52:54:00:ab:cd:ef:00", L"52:54:00:ab:cdef0",  L":52:54:00:ab:cd:e",
             L"52:54:00:ab:cd::f",    L"52:54:00:ab:cd:e ",   L"\r52:54:00:ab:cd:e",
             L"52:54:00:ab:cd",       L"::52:54:00:ab:cd:",  L"52:54:00:ab:c :ef",
         }) {
        EXPECT_EQ(checkMac(text), 0) << std::wstring(text).size();
    }
}

TEST(MacTextToBytes, ColonsAndHyphensGiveTheSameBytes) {
    const std::uint8_t expected[6] = {0x52, 0x54, 0x00, 0xab, 0xcd, 0xef};
    for (const wchar_t* text : {L"52:54:00:ab:cd:ef", L"52-54-00-AB-CD-EF", L"52:54-00:Ab-cD:eF"}) {
        std::uint8_t bytes[6] = {1, 2, 3, 4, 5, 6};
        ASSERT_EQ(macTextToBytes(text, bytes), 0);
        EXPECT_EQ(0, std::memcmp(bytes, expected, 6)) << std::wstring(text).size();
    }
}

TEST(MacTextToBytes, ShortTextFailsAndWritesNothing) {
    std::uint8_t bytes[6] = {7, 7, 7, 7, 7, 7};
    EXPECT_EQ(macTextToBytes(L"52:54:00:ab", bytes), -1);  // 11 characters
    EXPECT_EQ(macTextToBytes(nullptr, bytes), -1);
    for (std::uint8_t b : bytes) EXPECT_EQ(b, 7);
}

TEST(MacTextToBytes, GroupsAreReadLikeWcstol) {
    std::uint8_t bytes[6] = {9, 9, 9, 9, 9, 9};
    // Four groups fill four bytes; a long group keeps its low 8 bits.
    ASSERT_EQ(macTextToBytes(L"0a:0b:0c:1d0", bytes), 0);
    const std::uint8_t four[6] = {0x0a, 0x0b, 0x0c, 0xd0, 9, 9};
    EXPECT_EQ(0, std::memcmp(bytes, four, 6));

    // Blanks, a 0x prefix, trailing junk and digitless groups.
    ASSERT_EQ(macTextToBytes(L" 0x1f:zz:7g::10:ff:ee", bytes), 0);
    const std::uint8_t mixed[6] = {0x1f, 0x00, 0x07, 0x00, 0x10, 0xff};
    EXPECT_EQ(0, std::memcmp(bytes, mixed, 6));

    // A hyphen always separates: it never reaches the conversion as a sign.
    ASSERT_EQ(macTextToBytes(L"-1:02:03:04:05", bytes), 0);
    const std::uint8_t hyphen[6] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05};
    EXPECT_EQ(0, std::memcmp(bytes, hyphen, 6));
}
