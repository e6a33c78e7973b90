// What the Java side learns of the single-instance guard: the guard's name, and where a later start
// hands its arguments to a running one. The system's launcher provides these
// (windows/support/single_instance.cpp and temp_directory.cpp, linux/support/single_instance.cpp).
#pragma once

// The guard's name for this executable, or null when the guard did not run.
const char* instanceName();

// The file a later start of this executable writes its arguments into for the process processId to
// read (its name only; nothing is created). out has 8192 bytes; a name that would not fit is cut.
void processCommFileName(char* out, unsigned long processId);
