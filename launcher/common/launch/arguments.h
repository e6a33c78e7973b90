// The launcher's one rule for cutting a text into arguments, for its own command line and for
// configured texts that hold several arguments. Only the blank separates; double and single quotes
// group, each closed by the next quote of its own kind; there is no escape character, so backslashes
// in Windows paths pass unchanged. Nothing is removed: the program name stays first.
#pragma once

#include <string>
#include <vector>

using WideArguments = std::vector<std::wstring>;
using NarrowArguments = std::vector<std::string>;

// Appends the arguments of text to list. An unpaired quote ends the process with message 1007.
void splitArguments(const wchar_t* text, WideArguments& list);

// The same for an 8-bit text (support/text_conversion.h): split in UTF-16 and converted back, so that
// double-byte characters are never cut.
void splitArgumentsNarrow(const char* text, NarrowArguments& list);

// splitArguments without the process exit: returns false on an unpaired quote, after appending the
// arguments that came before it.
bool trySplitArguments(const wchar_t* text, WideArguments& list);

// An argument for log lines only: on Windows in the file-API code page with "?" for what does not
// convert, on Linux in UTF-8. The system's launcher provides it (support/text_conversion.cpp).
std::string argumentForLog(const std::wstring& argument);
