// Files as the system opens them, for reading the payload out of the launcher's own executable and
// writing the included files. Silent: failures are answered, and the caller logs them.
#pragma once

#include "support/platform.h"

#include <cstddef>
#include <cstdint>

// A HANDLE on Windows, a file descriptor on Linux.
#if KESTRO_WINDOWS
using NativeFile = void*;
#else
using NativeFile = int;
#endif

// Whether an open call gave a file.
bool isOpenFile(NativeFile file);

// Opens an existing file for reading; others may go on reading and writing it. Not open on failure.
NativeFile openFileForReading(const char* path);

// Creates path for writing, emptying a file that is there; on Windows nobody else may open it until
// it is closed. Not open on failure.
NativeFile createFileForWriting(const char* path);

void closeFile(NativeFile file);

// Reads exactly size bytes; false on a failure or when the file ends first.
bool readExactly(NativeFile file, void* buffer, size_t size);

// Reads up to size bytes: how many, 0 at the end of the file, -1 on a failure.
int64_t readSome(NativeFile file, void* buffer, size_t size);

// Writes up to size bytes: how many, -1 on a failure.
int64_t writeSome(NativeFile file, const void* buffer, size_t size);

// The position from the file's start; seekFile goes to offset from the start, skipInFile count bytes
// on from the position. False on a failure.
int64_t filePosition(NativeFile file);
bool seekFile(NativeFile file, int64_t offset);
bool skipInFile(NativeFile file, int64_t count);

// The file's size; -1 when the system does not say.
int64_t fileSize(NativeFile file);

// Gives target the last-write time of source; a failure leaves target's own.
void copyModificationTime(NativeFile source, NativeFile target);

// The system's code for why the last file call of this thread failed, for log lines.
unsigned long lastFileError();
