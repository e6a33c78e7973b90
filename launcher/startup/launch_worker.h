// One launch, from the extraction of the included files to the end of the Java program: the included
// files, the choice of Java runtime (shipped in the payload, found by the search, or none), the
// preparation of a shipped runtime, and the VM with the application's main class.
#pragma once

#include <windows.h>

// Exit code when quiet mode finds no Java runtime.
constexpr int kNoRuntimeExitCode = 83;

// Runs the launch. progressDialog is the window that shows progress, or null in quiet mode. Returns
// 0 after the application's main method has returned and the VM has been destroyed; ends the process
// on every failure: 1 with a message, 83 when quiet mode finds no runtime.
DWORD launchWorker(HWND progressDialog);

// Unpacks "jre.tar.gz" of the current directory into "jre", restores its Pack200 libraries when
// configuration 153 says so, deletes the archive and loads the runtime. Ends the process with the
// corrupted-runtime text when the archive cannot be unpacked.
void prepareShippedRuntime(HWND progressDialog);

// Loads the runtime in "jre", or failing that one the search finds. Ends the process when neither
// loads.
void useShippedRuntime();
