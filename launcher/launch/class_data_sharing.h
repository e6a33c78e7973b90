// Class-data sharing for the program: the facts class_data_archive's rules decide by (the loaded
// runtime's version, whether anyone sees the process's output, the program and its class path), and
// the archive's place in the user's cache ("class-data" room of support/user_cache.h).
#pragma once

#include "launch/launch_composition.h"

#include <cstddef>

// Inserts at position (right after the launcher's properties) the options that have the loaded
// runtime map the program's class-data archive from the user's cache, or make it at the VM's exit
// when it is missing. Adds nothing, and logs why, when configuration 10205 is 0, an option (or
// JAVA_TOOL_OPTIONS, _JAVA_OPTIONS) decides about sharing itself, the runtime's version is unknown
// or below 19, the runtime was unpacked for this start alone, the class path holds a directory
// (the runtime archives only jar files), or the user has no cache. classPathOption is the VM's
// "-Djava.class.path=" option.
void insertClassDataSharingOptions(VmOptionList& options, size_t position, const char* classPathOption);
