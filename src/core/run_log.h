// Every line the program prints goes through here, so that wide and narrow
// lines land in the same byte stream on every platform: text is formatted
// into a buffer, wide text is turned into the multibyte text of the current
// locale, and the bytes are written to standard output.
//
// Formats follow the C library: a wide string argument is always %ls, in
// wide and narrow formats alike; %s appears only in narrow formats.
#pragma once

#include <cstddef>
#include <string>

#include "platform/system.h"

void logWide(const wchar_t* format, ...);
void logNarrow(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void logFlush();

// While one is alive, lines are neither written nor counted: the service's
// checks print nothing. The last of them is kept, so that a check that keeps
// failing can still say why.
class QuietLog {
public:
    QuietLog();
    ~QuietLog();
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;
    // The last line printed while quiet, without its line end; empty if none.
    const std::string& lastLine() const;
};

// Lines printed since the program started, whether or not the log was open:
// what a step adds to the block, for steps that must keep their share short.
std::size_t logLineCount();

// Wide text in the current locale's multibyte encoding; a character that the
// encoding cannot hold becomes '?'.
std::string wideToLocale(const std::wstring& text);

// Wide text as UTF-8, whatever the size of wchar_t: a surrogate pair (two
// units where wchar_t has 16 bits) becomes its one character, and a unit that
// is no character (a lone surrogate, or beyond U+10FFFF) becomes U+FFFD.
std::string wideToUtf8(const std::wstring& text);

// "start time %d-%d-%d,%2d:%2d:%2d\n" and the end line with its empty line.
std::string startStamp(const platform::LocalTime& time);
std::string endStamp(const platform::LocalTime& time);
