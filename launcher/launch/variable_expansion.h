// Run-time values in configured texts: the executable's directory, the extraction directory, the
// home of the loaded Java runtime and environment variables.
#pragma once

// Records the runtime home from the path of a java.exe or javaw.exe: the file name replaced by
// "..", e.g. D:\jre\bin\.. for D:\jre\bin\java.exe. The last call wins.
void setJvmHome(const char* javaExecutable);

// The recorded runtime home; empty until setJvmHome was called.
const char* jvmHome();
