// Loading a runtime's jvm.dll into the launcher's process. The library lies in a variant
// subdirectory of the runtime's bin directory and needs companion libraries from that bin, so the
// bin directory joins the search for libraries (library_search.h) and PATH while a load is tried,
// and stays in both after a success. A loaded library is never unloaded.
#pragma once

#include <windows.h>

// Loads the JVM library of the java.exe or javaw.exe at executable: from its bin directory, else
// from the JRE inside a JDK (bin\..\jre\bin). Returns the library or null; PATH is restored byte for
// byte when nothing loaded. A name not ending in "java.exe" or "javaw.exe" loads nothing.
HMODULE loadJvmLibrary(const char* executable);

// Whether this launcher can load the runtime of the java.exe or javaw.exe at executable, as far as
// its files tell: false, after a log line naming the file, when the executable, or every jvm.dll
// that loadJvmLibrary would try, is built for another machine than the launcher (a 32-bit runtime
// for the 64-bit launcher). A runtime without any jvm.dll passes; its load fails later and says so.
bool isRuntimeForThisMachine(const char* executable);

// Tries configuration 152's variant, then "hotspot", "client", "server", "classic" and "jrockit" of
// the executable's bin directory, with that directory appended to PATH. Returns the first library
// that loads, or null after restoring PATH. A PATH (old or extended) longer than 16383 bytes is left
// as it is.
HMODULE loadJvmFromBinDir(const char* executable);

// Loads binDirectory\variant\jvm.dll (loadLibraryWithItsNeeds), after logging whether it exists.
// Null on failure.
HMODULE tryJvmVariant(const char* binDirectory, const char* variant);

// Finds JNI_CreateJavaVM in library (null fails) and stores it with setCreateVmEntry, and
// JNI_GetDefaultJavaVMInitArgs (null when missing) with setDefaultArgsEntry. False when the library
// lacks the first.
bool resolveCreateVmEntry(HMODULE library);
