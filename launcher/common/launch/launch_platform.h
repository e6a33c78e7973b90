// What the shared launch (vm_launch, vm_options, class_data_sharing) asks of the system's launcher
// (windows/launch/, linux/launch/).
#pragma once

#include "launch/launch_composition.h"

#include <cstddef>
#include <cstdio>
#include <string>

// Adds to values what depends on the system: on Windows the console's code page, on Linux the
// system's name.
void addSystemPropertyValues(LauncherPropertyValues& values);

// Runs body(context) on a new thread whose stack is stackSize bytes (0: the system's default) and
// waits for it to end. A stack the system refuses is logged and the thread made with the default
// one. False, logged, when no thread could be started.
bool runOnOwnThread(size_t stackSize, void (*body)(void*), void* context);

// The options file beside the executable, opened in text mode; null when there is none (on Windows
// "<executable less .exe>.vmoptions", else "<executable>.vmoptions"; on Linux
// "<executable>.vmoptions").
FILE* openVmOptionsFile();

// Whether the class path option may end with its list separator. The runtime reads an empty last
// entry as the current directory: on Windows the extraction directory, where included files that are
// no archives (a properties file, say) are found that way; on Linux the user's own directory, where
// no program should find its classes, so the separator goes.
bool classPathMayEndEmpty();

// Facts class-data sharing decides by.

// Whether anyone may read what the runtime writes on standard output or standard error: a console,
// a terminal, a pipe or a file behind either.
bool processOutputSeen();

// Whether JAVA_TOOL_OPTIONS or _JAVA_OPTIONS, which the runtime reads itself, decide about sharing.
bool environmentChoosesClassDataSharing();

// The executable as its file stands: its path, size and time, which change with every new build.
std::string programIdentity();

// The version of the loaded runtime as the search learned it; empty when it did not.
const char* acceptedRuntimeVersion();
