// The splash window: a borderless picture (bitmap resource 10000) centred on the desktop with a
// status line and a version line over it. It runs on a thread of its own, which polls the
// application's controller ten times a second once the VM exists (splash_controller), and it is
// hidden before every error message.
#pragma once

#include <windows.h>

#include <cstddef>

// Non-zero: starts the splash thread, which shows the window with that show command; nothing when a
// splash was started or cancelled before. Zero: hides the splash (from any thread, once: later hides
// do nothing; another thread waits for the splash thread only until the window is no longer
// visible, at most a second, never for the rest of its hide) and brings the process's other windows
// to the front unless one of them is the foreground window already; before the window exists, it
// cancels every later start. The error owner goes back to the window that owned message boxes before
// the splash, so that no message box is owned by a hidden splash, and the window the splash stood for
// comes back unless the program's Java code runs already. Every end of the splash goes this way: the
// application's close, its first window, an error, the question, the user's close, a splash that
// cannot be made.
void showSplash(int showCommand);

// At the process's end: the splash goes without waiting for its thread (which may be inside a call
// into a VM that stands still) and without anything coming back.
void closeSplashAtExit();

// Shows text (length UTF-16 units, no terminator needed) as the status line, when the window exists.
// On the splash thread only, which owns the status text.
void setSplashText(const wchar_t* text, size_t length);

// The window the splash stands in for while it shows (the progress dialog, held hidden meanwhile):
// shown when the splash goes before the program's Java code runs.
void setSplashStandIn(HWND dialog);

// True when the project asks for a splash: the executable carries its picture, or the project gives
// the splash a size.
bool splashWanted();

// True from a start until the splash is hidden (also while its thread is still making the window):
// the window it stands for is held back meanwhile.
bool splashStandsIn();

// The splash window once made (hidden or not), else null.
HWND splashWindow();

// The splash thread itself (parameter: the show command); returns 0 at once when a splash was
// started or cancelled before.
DWORD WINAPI splashThread(LPVOID showCommand);

// Building blocks of the above, free of side effects.

// The font height for a size in points on a device with pixelsPerInch: negative, so that the size
// is the character's height without the internal leading (8 points at 96 dpi give -11).
int splashFontHeight(int points, int pixelsPerInch);
