// The shipped Java runtime: a gzip-compressed ustar archive ("jre.tar.gz") unpacked into the runtime
// directory. Only regular files and directories are written; every other entry is skipped by its size.
#pragma once

#include <cstddef>
#include <cstdint>

// Receives each progress position the extraction computes, with the context it was given.
using TarProgressSink = void (*)(int32_t position, void* context);

// Receives each regular file once it is written whole and closed: its path relative to the target
// directory ('\\' separators) and its size.
struct TarFileSink {
    void (*written)(const char* path, int32_t size, void* context) = nullptr;
    void* context = nullptr;
};

// Unpacks archivePath (relative to the current directory) into targetDirectory, which the process
// enters for the duration. Every progress position goes to sink (may be null) with context, paced by
// expectedTotalSize (configuration 151); the caller shows it. Returns true when at least one
// regular file was extracted and nothing failed. Every failure is logged as an error line and answers
// false, with the files already written left on disk. An entry whose size field is not plain octal, or
// whose name the shared entry rules refuse (kestro::tar::EntryNames: ways out of the target directory,
// names Windows cannot hold or would fold together), refuses the archive before anything is written
// for it ("extract file failed"). Directories missing from the archive are made for the files in them.
// Ends the process through fatalError when an output file cannot be created. When writeFailed is
// given, it tells whether the failure was data that could not be written (a full disk, say), which
// includes bytes that fail only as the file is closed.
// Each file written whole is told to files.
bool extractRuntimeArchiveReporting(const char* archivePath, const char* targetDirectory,
                                    TarProgressSink sink, void* context, int32_t expectedTotalSize,
                                    bool* writeFailed = nullptr, TarFileSink files = {});

// A building block of the above, free of side effects: the progress bar position for an uncompressed stream
// position: position / expectedTotalSize * 100, truncated towards zero, with 0 reported as 1, and 1 when
// expectedTotalSize is 0. Not capped at 100; held within the int32 range.
int32_t tarProgressPosition(int64_t streamPosition, int32_t expectedTotalSize);
