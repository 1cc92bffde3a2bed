#include <gtest/gtest.h>

#include <string>

#include "core/ipv4_text.h"

TEST(CheckIpAddr, AcceptsDottedDecimal) {
    for (const wchar_t* text : {L"0.0.0.0", L"255.255.255.255", L"10.0.0.12", L"192.168.100.1",
                                L"169.254.0.254", L"1.20.100.200"}) {
        EXPECT_EQ(checkIpAddr(text), 1) << std::wstring(text).size();
    }
}

TEST(CheckIpAddr, RejectsAnythingElse) {
    EXPECT_EQ(checkIpAddr(nullptr), 0);
    const wchar_t* rejected[] = {
        L"",            L"10.0.0.1\n",    L"10.0.0.1 ",       L" 10.0.0.1",   L"\r10.0.0.1",
        L"10.0.0",      L"10.0.0.1.5",    L"10.0.0.256",      L"256.0.0.1",   L"10.0.0.1000",
        L"1..2.3",      L"1.2.3.",        L".1.2.3",          L"a.b.c.d",     L"10.0.0.0x1",
        L"+1.2.3.4",    L"1.2.3.-4",      L"4294967297.0.0.1", L"1.2.3.4/24",
        L"10,0,0,1",    L"1.2.3.4.",      L"10.0.0.1:80",     L"\x0661.2.3.4",
        // Leading zeros are refused, as the system's own conversion does.
        L"01.2.3.4",    L"10.0.0.01",     L"10.00.0.1",       L"10.0.0.001",  L"010.0.0.1",
    };
    for (std::size_t i = 0; i < sizeof rejected / sizeof rejected[0]; ++i) {
        EXPECT_EQ(checkIpAddr(rejected[i]), 0) << "case " << i;
    }
    // A text that would pass with its terminator further on still fails here.
    EXPECT_EQ(checkIpAddr(L"10.0.0.1 x"), 0);
}
