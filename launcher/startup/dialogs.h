// The launcher's own windows in dialog mode: the progress dialog that stays up while the launch is
// prepared (and hidden, not closed, once the application shows a window), and the question asked when
// no Java runtime was found: download one, locate a java.exe by hand, or cancel. Every text comes
// from the payload's messages and reaches the screen in 16 bits, captions included.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Registers the progress dialog's window class and shows the progress dialog modally; its start
// starts the launch worker on a thread of its own, which ends the process. Returns true when the
// dialog has been ended (Cancel, Escape or the close box: "Canceled installer" is logged), false
// (after an error line) when it could not be made or could not start the worker.
bool runProgressDialog(HINSTANCE instance);

// Asks over the progress dialog what to do without a runtime, offering the download when
// downloadOffered. Returns the button that ended the question: IDC_DOWNLOAD, IDC_LOCATE (the picked
// runtime is loaded by then) or another command id. Its Cancel writes InstallStarted = 0 and ends
// the process with exit code 1. While it is up, it owns the error boxes.
INT_PTR askForRuntime(HWND progressDialog, bool downloadOffered);

// The file-open dialog for a java.exe, owned by owner. True when the user picked one, its runtime
// loaded and the pick was recorded in the located-runtime list; false when the user cancelled or the
// runtime failed (LoadDLL has told the user why).
bool pickJavaExe(HWND owner);

// The progress dialog (context) as the place where provisioning's reports show: a position of its
// progress bar, the download's status line.
void showProgressPosition(int32_t position, void* progressDialog);
void showProgressStatusLine(const wchar_t* text, void* progressDialog);

// Moves window to the middle of its parent (or owner), or of the desktop without one, and to the top.
void centreWindow(HWND window);

// Building blocks of the above, free of side effects.

// The question: format (message 20005 or 20006) with the minimum and maximum versions for its "%S"
// conversions, an empty bound as "-". A format with anything but at most two "%S" conversions is
// shown as it is rather than read past its arguments (the answer is then false). out has capacity
// units and is always terminated.
bool composeQuestion(const wchar_t* format, const char* minimum, const char* maximum, wchar_t* out,
                     size_t capacity);
