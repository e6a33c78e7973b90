// Run-time values in configured texts: the executable's directory, the extraction directory, the
// home of the loaded Java runtime and environment variables.
#pragma once

#include <cstddef>

// Callers expand texts in buffers of this many bytes.
constexpr size_t kExpansionCapacity = 8192;

// Records the runtime home from the path of its java executable (java.exe or javaw.exe, bin/java):
// the file name replaced by "..", e.g. D:\jre\bin\.. for D:\jre\bin\java.exe. The last call wins.
void setJvmHome(const char* javaExecutable);

// The recorded runtime home; empty until setJvmHome was called.
const char* jvmHome();

// Expands text in place (capacity bytes): first the twenty fixed tokens ("%KESTRO_EXEDIR%",
// "${SORVANA_TEMPDIR}", "${launcher:sys.jvmHome}", ...), then "${NAME}" and its upper-cased form
// for each variable of the process environment, in the block's order. Inserted text is not searched
// again for the token that inserted it. An occurrence whose value would not fit is left as it is;
// returns false when that happened.
bool expandVariables(char* text, size_t capacity = kExpansionCapacity);

// The environment pass of expandVariables over an environment block (entries "NAME=value", each
// ended by a zero byte, the block by an empty entry): "${NAME}", then the same token upper-cased,
// for each entry in order. Entries without "=" and those whose name is empty (the hidden "=C:"
// entries that keep each drive's current directory) stand for no variable and are passed over.
// Returns false when a value did not fit somewhere.
bool expandEnvironmentTokens(char* text, size_t capacity, const char* block);

// Replaces each occurrence of token in text (capacity bytes), searching on after each inserted
// value. Occurrences whose replacement would not fit are left; returns false when that happened.
bool replaceAll(char* text, size_t capacity, const char* token, const char* value);
