// The portable INI layer against what the system's private-profile routines
// were seen to leave under Wine (the Windows-layer tests compare the two
// directly).
#include <gtest/gtest.h>

#include <string>

#include "sim/ini_file.h"

namespace {

std::string write(const std::string& before, const std::wstring& section, const std::wstring& key,
                  const std::wstring& value, bool* changedOut = nullptr) {
    bool changed = false;
    std::string after = inifile::applyWrite(before, section, key, value, changed);
    if (changedOut != nullptr) *changedOut = changed;
    return after;
}

}  // namespace

TEST(IniWrite, MissingSectionGoesToTheEndAndMissingKeyToTheEndOfItsSection) {
    EXPECT_EQ(write("", L"s", L"k", L"v"), "[s]\r\nk=v\r\n");
    EXPECT_EQ(write("[eth0]\r\nGATEWAY=10.0.0.1", L"eth:52", L"mac", L"AA"),
              "[eth0]\r\nGATEWAY=10.0.0.1\r\n[eth:52]\r\nmac=AA\r\n");
    EXPECT_EQ(write("; c\r\n[eth0]\r\nGATEWAY=10.0.0.1\r\n;comment\r\n[b]\r\nx=1\r\n", L"eth0", L"new", L"v"),
              "; c\r\n[eth0]\r\nGATEWAY=10.0.0.1\r\n;comment\r\nnew=v\r\n[b]\r\nx=1\r\n");
    EXPECT_EQ(write("[e]\r\nk=1\r\n[x]\r\n", L"x", L"k", L"1"), "[e]\r\nk=1\r\n[x]\r\nk=1\r\n");
}

TEST(IniWrite, ExistingKeyIsReplacedWhereItStandsFirstMatchOnly) {
    EXPECT_EQ(write("[A]\r\nk=1\r\nk=2\r\n[a]\r\nk=3\r\n", L"a", L"K", L"9"),
              "[A]\r\nk=9\r\nk=2\r\n[a]\r\nk=3\r\n");
    EXPECT_EQ(write("[a]\r\nnoeq\r\nk\r\n", L"a", L"k", L"x"), "[a]\r\nnoeq\r\nk=x\r\n");
    EXPECT_EQ(write("[a]\r\nk=1\r\n", L"a", L"k", L""), "[a]\r\nk=\r\n");
    EXPECT_EQ(write("[a]\r\nk=a=b\r\n", L"a", L"k2", L"c=d"), "[a]\r\nk=a=b\r\nk2=c=d\r\n");
}

TEST(IniWrite, TheWholeFileComesBackInNormalForm) {
    // Blank lines and blanks around names and values go, line ends become
    // CRLF, a header's trailing text is dropped.
    EXPECT_EQ(write("[eth0]\nGATEWAY=10.0.0.1\n\n\n[b]\nx=1", L"B", L"X", L"2"),
              "[eth0]\r\nGATEWAY=10.0.0.1\r\n[b]\r\nx=2\r\n");
    EXPECT_EQ(write("  [a] tail\r\n   \r\n\tk\t=\t1\t\r\n", L"a", L"z", L"9"), "[a]\r\nk=1\r\nz=9\r\n");
    EXPECT_EQ(write("[e]\rk=1\r[f]\rj=1\r", L"e", L"j", L"1"), "[e]\r\nk=1\r\nj=1\r\n[f]\r\nj=1\r\n");
    EXPECT_EQ(write("[a]\r\nk=1\r\n", L"a", L" zz ", L" v v "), "[a]\r\nk=1\r\nzz =v v \r\n");
    EXPECT_EQ(write("[a\r\nk=1\r\n", L"a", L"k", L"9"), "[a\r\nk=1\r\n[a]\r\nk=9\r\n");
}

TEST(IniWrite, UnchangedValueLeavesTheFileAlone) {
    bool changed = true;
    EXPECT_EQ(write("[e]\nk = 1\n", L"E", L"K", L"1", &changed), "[e]\nk = 1\n");
    EXPECT_FALSE(changed);
    write("[e]\nk\n", L"e", L"k", L"", &changed);
    EXPECT_TRUE(changed);
}

TEST(IniWrite, EncodingIsKept) {
    EXPECT_EQ(write("[a]\r\nk=\xe9\x80\r\n", L"a", L"z", L"\u20ac\u00e8\u0101"),
              "[a]\r\nk=\xe9\x80\r\nz=\x80\xe8?\r\n");
    EXPECT_EQ(write("\xef\xbb\xbf[a]\r\nk=\xc3\xa9\r\n", L"a", L"z", L"\u00e8"),
              "\xef\xbb\xbf[a]\r\nk=\xc3\xa9\r\nz=\xc3\xa8\r\n");
    const std::string utf16("\xff\xfe[\0a\0]\0\r\0\n\0k\0=\0" "1\0\r\0\n\0", 22);
    EXPECT_EQ(write(utf16, L"a", L"z", L"v"), utf16 + std::string("z\0=\0v\0\r\0\n\0", 10));
}

TEST(IniRead, ValuesDefaultsAndCounts) {
    const std::string file =
        "[eth0]\r\n  gateway = \"10.0.0.1\"  \r\n[E]\r\nk=  sp  \r\nq='x'\r\nd=1\r\nd=2\r\ne=\r\n"
        "noeq\r\nu=\"a\r\nlong=abcdefghij\r\n[e]\r\nz=4\r\n";
    const auto read = [&](const wchar_t* s, const wchar_t* k, std::size_t cap = 1024,
                          const wchar_t* def = L"0") { return inifile::lookup(file, s, k, def, cap); };
    EXPECT_EQ(read(L"ETH0", L"GATEWAY").value, L"10.0.0.1");
    EXPECT_EQ(read(L"ETH0", L"GATEWAY").count, 8u);
    EXPECT_EQ(read(L" e ", L"k").value, L"sp");
    EXPECT_EQ(read(L"e", L"q").value, L"x");
    EXPECT_EQ(read(L"e", L"u").value, L"\"a");
    EXPECT_EQ(read(L"e", L"d").value, L"1");
    EXPECT_EQ(read(L"e", L"z").value, L"0");  // only the first section of a name counts
    EXPECT_EQ(read(L"e", L"e").count, 0u);
    EXPECT_EQ(read(L"e", L"noeq").value, L"0");
    EXPECT_EQ(read(L"none", L"k").count, 1u);
    EXPECT_EQ(read(L"e", L"long", 5).value, L"abcd");
    EXPECT_EQ(read(L"e", L"long", 5).count, 4u);
    EXPECT_EQ(read(L"e", L"long", 11).count, 10u);
    EXPECT_EQ(read(L"e", L"long", 1).count, 0u);
    EXPECT_EQ(read(L"e", L"none", 3, L"abcdef").value, L"ab");
    EXPECT_EQ(read(L"e", L"none", 20, L" abc ").value, L" abc");
}

TEST(IniRead, QuotedValuesCutShort) {
    const std::string file = "[a]\r\nz='v'\r\nw=\"abc\"\r\nx='\r\ny=''\r\n";
    const auto value = [&](const wchar_t* k, std::size_t cap) { return inifile::lookup(file, L"a", k, L"0", cap).value; };
    EXPECT_EQ(value(L"z", 2), L"");
    EXPECT_EQ(value(L"z", 3), L"v");
    EXPECT_EQ(value(L"w", 2), L"a");
    EXPECT_EQ(value(L"w", 4), L"ab");  // the closing quote fits only with the last letter's place
    EXPECT_EQ(value(L"w", 5), L"abc");
    EXPECT_EQ(value(L"x", 6), L"'");
    EXPECT_EQ(value(L"y", 6), L"");
}

TEST(IniRead, BlankSectionNameNeverStandsForTheLinesBeforeTheFirstHeader) {
    // The lines before the first header are a section of their own; a "[]"
    // further down is not that section (the system reads its keys as
    // missing) and its header is not written back.
    const std::string file = "top=1\r\n[a]\r\nk=1\r\n[]\r\nj=2\r\n";
    const auto read = [](const std::string& bytes, const wchar_t* k) {
        return inifile::lookup(bytes, L"", k, L"-", 1024).value;
    };
    EXPECT_EQ(read(file, L"top"), L"1");
    EXPECT_EQ(read(file, L"j"), L"-");
    EXPECT_EQ(read("[a]\r\nk=1\r\n[]\r\nj=2\r\n", L"j"), L"-");
    bool changed = false;
    EXPECT_EQ(write(file, L"b", L"z", L"9", &changed), "top=1\r\n[a]\r\nk=1\r\nj=2\r\n[b]\r\nz=9\r\n");
    EXPECT_TRUE(changed);
}
