// A small INI reader and writer that answers like the system's private-profile
// routines as Wine implements them: the whole file is read, the one change is
// made and the whole file is written back in a normal form (CRLF line ends,
// no blank lines, names and values without surrounding blanks), in the
// encoding it had (ANSI as Windows-1252, UTF-8 or UTF-16LE after their byte
// order marks). A write that changes nothing leaves the file alone. Names
// and values given to a write lose their leading blanks only.
//
// Standard library only: the Windows-layer tests compile it next to the
// real routines to prove that both leave the same bytes.
#pragma once

#include <cstddef>
#include <string>

namespace inifile {

struct Read {
    std::wstring value;
    std::size_t count = 0;  // characters placed in the caller's buffer
};

// What the private-profile read gives for the file's bytes: the value of the
// first key `key` in the first section `section` (names compared without
// regard to case or surrounding blanks, a pair of quotes around the value
// dropped), else `fallback` without trailing blanks; cut to capacity - 1.
Read lookup(const std::string& fileBytes, const std::wstring& section, const std::wstring& key,
            const std::wstring& fallback, std::size_t capacity);

// The file's bytes after one private-profile write: the first matching key
// gets the value where it stands, a missing key goes to the end of its
// section, a missing section to the end of the file. `changed` tells
// whether the file would be written at all.
std::string applyWrite(const std::string& fileBytes, const std::wstring& section,
                       const std::wstring& key, const std::wstring& value, bool& changed);

// The same on a file named by a narrow path; a missing file reads as empty
// and is created by a write. False when the file cannot be written.
Read readString(const std::string& path, const std::wstring& section, const std::wstring& key,
                const std::wstring& fallback, std::size_t capacity);
bool writeString(const std::string& path, const std::wstring& section, const std::wstring& key,
                 const std::wstring& value);

// What the routines take for a blank, a name without the blanks around it,
// and two names that are the same (blanks around them and case aside).
bool isBlank(wchar_t c);
std::wstring trim(const std::wstring& text);
bool sameName(const std::wstring& a, const std::wstring& b);

// Appends a whole file's bytes; false when it cannot be opened.
bool readBytes(const std::string& path, std::string& bytes);

// Appends the UTF-8 bytes of one code point.
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace inifile
