// The Windows side of error reporting (support/errors.h): the window that owns the message boxes,
// and the 16-bit text with the log's path.
#pragma once

#include "support/errors.h"

#include <windows.h>

#include <cstddef>

// Message boxes are owned by this window from now on (null: the desktop).
void setErrorOwner(HWND owner);
HWND currentErrorOwner();

// composeErrorText for a UTF-16 message; the log's path is converted from the code page of the file
// functions.
bool composeErrorTextWide(const wchar_t* message, const char* logPath, wchar_t* out, size_t capacity);
