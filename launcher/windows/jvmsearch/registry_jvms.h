// The registry as a source of Java runtimes and as the memory of their versions:
// - the version cache, HKCU "SOFTWARE\Morvane\kestro\jvms\<path with / for \>", values
//   "LastWriteTime" (REG_BINARY, the executable's 8-byte FILETIME) and "Version" (REG_SZ);
// - the located-JVM list, "SOFTWARE\Morvane\kestro\locatedjvms\<path with / for \>" under HKLM,
//   else HKCU, one sub-key per runtime the user picked;
// - the Java vendor's keys "SOFTWARE\JavaSoft\Java Runtime Environment" and
//   "...\Java Development Kit" under HKLM, read only.
// Every registry failure counts as "not found" and the search goes on; nothing is shown.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// prefix followed by path with every '\' turned into '/', into out (capacity bytes). A name that
// would not fit is refused: out empty, false.
bool registryKeyName(char* out, size_t capacity, const char* prefix, const char* path);

// True with the cached version in version (kPathCapacity bytes) when path has a cache entry whose
// "LastWriteTime" is exactly 8 bytes equal to stamp.
bool readCachedVersion(const char* path, uint64_t stamp, char* version);

// Creates or overwrites the cache entry of path. Failures are ignored.
void writeCachedVersion(const char* path, uint64_t stamp, const char* version);

// Adds path (as picked, unchanged) to the located-JVM list: HKLM, else HKCU. Failures are ignored.
void recordLocatedJvm(const char* path);

// The search-sequence entry "Y": the newest acceptable runtime registered with Windows weighed
// against the best located one; ties go to the located one. Versions are ordered by
// compareVersions throughout. True with the executable in path
// (kPathCapacity bytes).
bool findRegistryJvm(char* path, const char* minimum, const char* maximum);

// The runtimes registered with Windows: CurrentVersion of the JDK and JRE keys first, then the JRE
// key's version sub-keys newest first (skipped when configuration 131 asks for a JDK), then the
// JDK key's. Pre-release runtimes are refused. True with path and version (kPathCapacity bytes each).
bool findRegisteredJvm(char* path, char* version, const char* minimum, const char* maximum);

// The located-JVM list of both hives: the newest acceptable runtime of each; the per-user one only
// when it is newer than the machine-wide one. Pre-release runtimes are allowed.
bool findLocatedJvm(char* path, char* version, const char* minimum, const char* maximum);

// The names of key's sub-keys in enumeration order. A name too long for a kPathCapacity buffer is
// passed over; any other failure ends the list, so that a key another process deletes meanwhile
// ends the enumeration instead of failing at every index.
std::vector<std::string> subKeyNames(HKEY key);

// Reads the text value name of root\key into buffer (*size bytes in, the bytes read out); the text
// is always terminated. False when the key or value is missing, not readable or too long.
bool readRegistryString(HKEY root, const char* key, const char* name, char* buffer, DWORD* size);
