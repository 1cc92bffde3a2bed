// PLACEHOLDER until this area is written; replaced by its real code.
#include "metadata/parse.h"
TextList splitListing(const std::wstring&, const std::wstring&) { return {}; }
std::wstring trimLineFeeds(const std::wstring& t) { return t; }
int checkIpAddr(const wchar_t*) { return 0; }
int checkMac(const wchar_t*) { return 0; }
int macTextToBytes(const wchar_t*, std::uint8_t*) { return -1; }
