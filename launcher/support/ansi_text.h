// Wide (UTF-16) texts where only 8-bit text goes: windows and the file dialog made through the 8-bit
// calls, the splash's status line, standard error when it leads to a pipe or a file. One rule for all
// of them: the text is converted to the ANSI code page; a character the code page lacks becomes its
// default character ("?", one for each UTF-16 unit), never a look-alike, so that a loss shows; a text
// that does not fit is cut at the end of a character, never inside a double-byte character or a
// surrogate pair; the result is always terminated.
#pragma once

#include <cstddef>
#include <string>

// length units of text (no terminator needed) into out (capacity bytes). Returns the bytes written,
// the terminator not counted.
size_t ansiText(const wchar_t* text, size_t length, char* out, size_t capacity);

// The same for a terminated text.
size_t ansiText(const wchar_t* text, char* out, size_t capacity);

// The other way, which loses nothing: an 8-bit text of the ANSI code page (a configured text, a path)
// in UTF-16.
std::wstring wideFromAnsi(const std::string& text);
