// Between the launcher's 8-bit texts and its 16-bit ones. 8-bit texts (configuration, paths,
// options) are in the ANSI code page on Windows (paths in the code page of the file functions) and in
// UTF-8 on Linux; 16-bit texts hold UTF-16 units, one per wchar_t, on every system (wchar_t is wider
// on Linux), as the messages and the Java side have them. The system's launcher provides these
// (windows/support/text_conversion.cpp, linux/support/text_conversion.cpp).
#pragma once

#include <string>

// A configured text in 16 bits; empty when it does not convert.
std::wstring wideFromNarrow(const char* text);

// A 16-bit text back in 8 bits, so that a text of wideFromNarrow comes back as it was.
std::string narrowFromWide(const std::wstring& text);

// The 16-bit form of an 8-bit path, however long; empty when it does not convert.
std::wstring widePath(const char* path);
