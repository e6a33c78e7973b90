// Texts of the message table (UTF-16) into windows and dialog controls: through the wide window
// calls where the system has them (the NT family), otherwise converted to 8-bit in the C runtime's
// locale. Safe to call from any thread; the look-up of the wide calls happens once, on first use.
#pragma once

#include <windows.h>

// Sets the window's text (a dialog's caption). Characters the 8-bit path cannot represent are lost.
void setWindowTextWide(HWND window, const wchar_t* text);

// Sets the text of control id of dialog; returns what the system call returned (non-zero on success).
BOOL setItemTextWide(HWND dialog, int id, const wchar_t* text);

// true: both setters take the 8-bit path from now on, as on a system without the wide calls.
// false: the next call looks the wide calls up again. For tests of the 8-bit path.
void forceNarrowTextSetters(bool narrow);
