// Error reporting and the launcher's one way out of the process. Messages go where the system's
// launcher shows them: on Windows to a message box or, in console mode, to standard error; on Linux
// to standard error and, for a program started from a desktop, also to a dialog. Either way the native
// log's path is appended so that the user can find and send it. The system's launcher provides these
// (windows/support/errors.cpp, linux/support/errors.cpp; what only combines showing and ending is in
// support/fatal_errors.cpp).
//
// Every end of the process goes through the operations below (the fatal ones and exitLauncher),
// whichever thread ends it: what the launcher shows goes, its temporary files are left to their
// clean-up, the log's last line says the exit code, and the process ends at once. The first thread to
// end the process does so; another that tries meanwhile waits for it.
#pragma once

#include <cstddef>

// Shows an 8-bit message (caption: configuration 1000). Returns when the user has seen it (a box is
// closed), at once when it went to standard error alone.
void showError(const char* text);

// The same for a UTF-16 text (units one per wchar_t); the caption is message 20013.
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

// Switches the message boxes (dialogs) off for the rest of the process: errors go to standard error
// alone.
void useConsoleErrors();
bool consoleErrorsEnabled();

// Building blocks of the above, free of side effects (support/error_text.cpp).

// Replaces the first "{0}" of text by argument into out (capacity bytes, always terminated). A null
// argument leaves the text unchanged. Returns false when the result had to be cut to fit.
bool substituteArgument(const char* text, const char* argument, char* out, size_t capacity);

// "message\n\nLog: path" into out, or the message alone when logPath is null. Returns false when
// the result had to be cut to fit.
bool composeErrorText(const char* message, const char* logPath, char* out, size_t capacity);
