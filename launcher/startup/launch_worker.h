// One launch, from the extraction of the included files to the end of the Java program: the included
// files, the choice of Java runtime (shipped in the payload, found by the search, or none), the
// preparation of a shipped runtime, and the VM with the application's main class.
#pragma once

#include <windows.h>

// Exit code when quiet mode finds no Java runtime.
constexpr int kNoRuntimeExitCode = 83;

// Runs the launch. progressDialog is the window that shows progress, or null in quiet mode. Without a
// runtime, dialog mode asks the user (download, locate or cancel) where quiet mode gives up. Returns
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

// Dialog mode, on a thread of its own: advances the progress bar every half second (never past its
// maximum - 10) until a second visible window of this process exists, then logs
// "Java window visible" and hides progressDialog (which stays open). After 600 steps of 100 ms
// without one, and InstallStarted not set, ends the process with message 20014.
DWORD WINAPI watchJavaWindow(LPVOID progressDialog);

// Dialog mode, while the packed libraries are restored: moves the bar from 100 to 200 in ten steps,
// paced by the time the archive took to unpack; stops early once the restoring has ended.
DWORD WINAPI animateUnpack(LPVOID progressDialog);
