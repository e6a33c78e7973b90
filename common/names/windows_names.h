// Windows' rules for the name of one file or directory, as the launcher creates them from the names
// in its payload and its runtime archive: which names Windows refuses or changes, and which two
// names it takes for the same file. Texts are 8-bit, in code page 1252, as the payload holds them.
#pragma once

#include <string>

namespace kestro::names {

// The longest name of one file or directory Windows creates, in characters (one byte each here).
constexpr size_t kMaxComponentLength = 255;

// name as Windows compares it, letter case aside: every letter code page 1252 holds in both cases
// (A to Z, the accented Latin letters, Š, Œ, Ž and Ÿ) becomes its upper-case form. Two names with
// the same folded form name one file on NTFS.
std::string folded(const std::string& name);

// True when Windows opens a device instead of a file for name, with or without an extension and
// blanks before it: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1 to COM9 and LPT1 to LPT9, also with a
// superscript 1, 2 or 3 as the digit.
bool isDeviceName(const std::string& name);

// Checks one name a path is made of. Returns null, or why Windows would refuse or alter it: it is
// empty, longer than kMaxComponentLength, holds a control character or one of <>:"/\|?*, ends in a
// dot or a blank (Windows drops them), or names a device. "." and ".." end in a dot.
const char* checkComponent(const std::string& name);

} // namespace kestro::names
