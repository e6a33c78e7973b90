// The launcher's entry: markers and options of the command line, the configuration store, PATH and
// the working directory, the single-instance guard, the question after a failed start, and the
// hand-over to the launch worker.
#pragma once

#include <windows.h>

#include <string>

// The whole start-up and the launch: never returns. commandLineTail is the 8-bit command line after
// the program name. The process ends with the launch (launchWorker), with 0 when the progress dialog
// is cancelled, and with internal error 21 when the progress dialog cannot be shown.
[[noreturn]] void runStartup(HINSTANCE instance, const char* commandLineTail);

// Attaches the parent's console, or allocates a new one when there is none (or the system lacks
// AttachConsole). Standard output and error that lead nowhere are pointed at it. True when either
// call succeeded.
bool attachConsole();

// Loads the payload, remembers the instance and the application kind, prefixes PATH with
// configuration 10004 and, unless in language-restart mode, enters the working directory of
// configuration 146.
void prepareEnvironment(HINSTANCE instance);

// "dirs;" + old PATH: the ';'-list of absolute directories, a ';' unless it already ends with one
// or is empty, then the old value.
std::wstring prefixedPath(const std::wstring& absoluteDirectories, const std::wstring& oldPath);
