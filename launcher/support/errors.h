// Error reporting and the launcher's one way out of the process. Messages go to a message box or, in
// console mode, to standard error; either way the native log's path is appended so that the user
// can find and send it. Before anything is shown, the pending temporary directories are handed to
// the deletion queue and the splash screen is hidden.
//
// Every end of the process goes through the operations below (the fatal ones and exitLauncher),
// whichever thread ends it: the splash goes, the pending directories are queued, the clean-up of
// temporary files puts down its work, the log's last line says the exit code, and the process ends
// at once. The first thread to end the process does so; another that tries meanwhile waits for it.
#pragma once

#include <windows.h>

#include <cstddef>

// Shows an 8-bit message (message box with caption 1000, or standard error in console mode).
// Returns when the box is closed, at once in console mode.
void showError(const char* text);

// The same for a UTF-16 text; the caption is message 20013.
void showErrorWide(const wchar_t* text);

// Looks up 8-bit message id, puts argument (may be null) in place of its first "{0}" and shows it.
void showMessage(int id, const char* argument);

// Show, then end the process with exit code 1. Never return.
[[noreturn]] void fatalError(const char* text);
[[noreturn]] void fatalErrorWide(const wchar_t* text);
[[noreturn]] void fatalMessage(int id, const char* argument);
[[noreturn]] void fatalMessageWide(int id);

// Ends the process at once with code, the way described above. Never returns.
[[noreturn]] void exitLauncher(int code);

// Message boxes are owned by this window from now on (null: the desktop).
void setErrorOwner(HWND owner);
HWND currentErrorOwner();

// Switches message-box mode off for the rest of the process: errors go to standard error.
void useConsoleErrors();
bool consoleErrorsEnabled();

// Building blocks of the above, free of side effects.

// Replaces the first "{0}" of text by argument into out (capacity bytes, always terminated). A null
// argument leaves the text unchanged. Returns false when the result had to be cut to fit.
bool substituteArgument(const char* text, const char* argument, char* out, size_t capacity);

// "message\n\nLog: path" into out, or the message alone when logPath is null. Returns false when
// the result had to be cut to fit.
bool composeErrorText(const char* message, const char* logPath, char* out, size_t capacity);
bool composeErrorTextWide(const wchar_t* message, const char* logPath, wchar_t* out, size_t capacity);
