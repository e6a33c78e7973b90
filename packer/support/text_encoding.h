// Conversions between the project file's UTF-8 and the texts a launcher reads: 8-bit texts in the
// Windows ANSI code page 1252 and UTF-16LE messages.
#pragma once

#include <string>

namespace kestro::packer {

// Converts UTF-8 to code page 1252. Returns false and names the first character that code page
// cannot hold (as "U+XXXX") in error; malformed UTF-8 is an error too.
bool utf8ToCp1252(const std::string& utf8, std::string* cp1252, std::string* error);

// Converts code page 1252 to UTF-8; the five bytes the code page leaves undefined become U+FFFD.
std::string cp1252ToUtf8(const std::string& cp1252);

// Converts UTF-8 to UTF-16, characters beyond the BMP as surrogate pairs. Returns false on malformed
// UTF-8 and says where in error.
bool utf8ToUtf16(const std::string& utf8, std::u16string* utf16, std::string* error);

// Converts UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16ToUtf8(const std::u16string& utf16);

// A key, value or name as a message shows it: whole up to limit bytes, else its first bytes (never half
// a UTF-8 character) followed by "...", so that a hostile project file cannot fill the terminal.
std::string shownInMessage(const std::string& text, size_t limit = 80);

} // namespace kestro::packer
