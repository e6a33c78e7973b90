// The launcher's entry: markers and options of the command line, the configuration store, PATH and
// the working directory, the single-instance guard, the question after a failed start, and the
// hand-over to the launch worker.
#pragma once

#include <windows.h>

#include <string>

// The whole start-up. commandLineTail is the 8-bit command line after the program name. Returns 0
// when the launch worker has returned (quiet mode) or the progress dialog has been ended (dialog
// mode); every other way out ends the process elsewhere.
int runStartup(HINSTANCE instance, const char* commandLineTail);

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
