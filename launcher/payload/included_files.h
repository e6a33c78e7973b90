// The files carried in the payload, written into a fresh temporary directory (the extraction
// directory) under the names configuration 2003 lists. Each extracted file is held open until the
// process ends, so nothing can delete or replace it while the application runs; the directory is
// left for the deletion queue.
#pragma once

#include "payload/included_file_names.h"

#include <windows.h>

#include <cstdint>

// Results of extraction and copying.
enum CopyResult : int {
    kCopyDone = 0,
    kCopyReadFailed = 1,  // the payload could not be read (or a file name was refused)
    kCopyWriteFailed = 2, // the target could not be written
};

// Extracts the included files into a new directory "<kqx temporary name>_dir<random>", whose path is
// written to directory (8192 bytes; empty when there are no included files). The included file named
// skipped (may be null), such as a runtime archive whose runtime is at hand already, is passed over.
// On a failure the directory is emptied and removed and the result says why. Ends the process
// (message 1009 with "7" or "11") when the directory or a file cannot be created, and with "Internal
// Error: readLong" when a size is cut off. Sets the unextracted position.
int extractIncludedFiles(char* directory, const char* skipped = nullptr);

// Reads one size field from payload and copies that many bytes, descrambled, into a new file at
// targetPath, which gets the payload file's last-write time: the same file of the same launcher has
// the same time in every start (the runtime's class-data archives rely on it). A size of 0 or less
// creates nothing.
int extractFile(HANDLE payload, const char* targetPath);

// Copies count bytes in chunks of at most 8192 bytes, XOR-ing them with the payload key when
// descramble is set.
int copyPayloadBytes(HANDLE source, HANDLE target, int64_t count, bool descramble);

// Lets go of an extracted file (by its name in configuration 2003) so that it can be deleted, as the
// runtime archive is once unpacked. Unknown names are ignored.
void releaseIncludedFile(const char* name);
