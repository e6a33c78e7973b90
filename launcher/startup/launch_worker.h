// One launch, from the extraction of the included files to the end of the Java program: the included
// files, the choice of Java runtime (shipped in the payload, found by the search, or none), the
// preparation of a shipped runtime, and the VM with the application's main class.
#pragma once

#include <windows.h>

// Exit code when quiet mode finds no Java runtime.
constexpr int kNoRuntimeExitCode = 83;

// Runs the launch and ends the process with it. progressDialog is the window that shows progress,
// or null in quiet mode. Without a runtime, dialog mode asks the user (download, locate or cancel)
// where quiet mode gives up. Once the VM has ended the process ends with the program's exit code as
// java gives it: 0 after its main returned, 1 after it threw (told as the application's error, with
// the exception's class and message); System.exit keeps its own code. Every failure ends the
// process as well: 1 with a message, 83 when quiet mode finds no runtime. Clears InstallStarted, when
// this start set it, as soon as the program's Java code runs.
[[noreturn]] void launchWorker(HWND progressDialog);

// Makes the shipped runtime ready and loads it. One already in the user's runtime cache is taken as
// it is. Otherwise "jre.tar.gz" of the current directory is unpacked, into a new cache entry when the
// runtime goes through the cache, else (or when no entry can be made) into "jre" beside it; its
// Pack200 libraries are restored when configuration 153 says so, and the archive is deleted. Ends
// the process with the corrupted-runtime text when the archive cannot be unpacked, and with message
// 20018 when the disk is full.
void prepareShippedRuntime(HWND progressDialog);

// Loads the runtime in directory, or failing that one the search finds. Ends the process when
// neither loads.
void useShippedRuntime(const char* directory);

// Dialog mode, on a thread of its own: advances the progress bar every half second (never past its
// maximum - 10) until the program shows a visible window (one that is neither progressDialog nor the
// splash), then logs "Java window visible" and hides progressDialog (which stays open). After 600
// steps of 100 ms without one: when the program's Java code runs, hides progressDialog and stops
// watching (the program is never ended for want of a window); otherwise, with InstallStarted not
// set, ends the process with message 20014.
DWORD WINAPI watchJavaWindow(LPVOID progressDialog);

// Dialog mode, while the packed libraries are restored: moves the bar from 100 to 200 in ten steps,
// paced by the time the archive took to unpack; stops early once the restoring has ended.
DWORD WINAPI animateUnpack(LPVOID progressDialog);
