#pragma once

#include <cstddef>
#include <string>

// One GET of a metadata URL. `buffer` holds readLimit / 2 wide characters,
// terminator included, and has been cleared by the caller. Non-zero when the
// body was read and fits the buffer; 0 otherwise (the buffer then stays empty).
int fetchUrlText(unsigned readLimit, const wchar_t* url, wchar_t* buffer);
