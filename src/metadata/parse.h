#pragma once

#include <cstdint>
#include <string>

#include "core/adapter_config.h"

TextList splitListing(const std::wstring& text, const std::wstring& separator);
std::wstring trimLineFeeds(const std::wstring& text);

// 1 when the text is six two-digit hexadecimal groups joined by colons.
int checkMac(const wchar_t* text);
// 0 on success, -1 when the text is shorter than 12 characters.
int macTextToBytes(const wchar_t* text, std::uint8_t* destination);
