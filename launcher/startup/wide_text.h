// Texts of the message table (UTF-16) into windows and dialog controls: through the wide window
// calls where the system has them (the NT family), otherwise converted to 8-bit by the rule of
// support/ansi_text.h. Safe to call from any thread; the look-up of the wide calls happens once, on
// first use.
#pragma once

#include <windows.h>

// Sets the window's text (a dialog's caption). On the 8-bit path, characters the ANSI code page
// lacks show as "?".
void setWindowTextWide(HWND window, const wchar_t* text);

// Sets the text of control id of dialog; returns what the system call returned (non-zero on success).
BOOL setItemTextWide(HWND dialog, int id, const wchar_t* text);

// The same with message messageId of the payload as the text.
void setItemToMessage(HWND dialog, int id, int messageId);
void setWindowToMessage(HWND window, int messageId);

// true: both setters take the 8-bit path from now on, as on a system without the wide calls.
// false: the next call looks the wide calls up again. For tests of the 8-bit path.
void forceNarrowTextSetters(bool narrow);
