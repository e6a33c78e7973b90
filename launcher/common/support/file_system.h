// Paths and directories as every launcher needs them. Paths are 8-bit texts: on Windows in the code
// page of the file functions, on Linux in UTF-8. Relative paths are resolved against the executable's
// directory, never against the current directory. Buffers are kPathCapacity bytes. All operations are
// silent: they answer false, 0 or leave the path unchanged and log nothing, except emptyDirectory,
// which logs what it attempts. The system's launcher provides them (windows/support/paths.cpp,
// linux/support/paths.cpp).
#pragma once

#include "support/platform.h"

#include <cstddef>

constexpr size_t kPathCapacity = 8192;

// Between the steps of a path, and between the entries of a path list (the class path, PATH).
#if KESTRO_WINDOWS
constexpr char kPathSeparator = '\\';
constexpr char kPathListSeparator = ';';
#else
constexpr char kPathSeparator = '/';
constexpr char kPathListSeparator = ':';
#endif

// The running executable, in a form the file functions can open (on Windows its short 8.3 form when
// the long one cannot be represented). Computed once; the text is owned by this module.
const char* executablePath();

// The executable's directory with a trailing separator. Computed once.
const char* executableDirectory();

// Relative paths are prefixed with the executable's directory; the result is normalised.
// out has kPathCapacity bytes. A result that would not fit is refused, never cut: out is left empty
// and the answer is false.
bool makeAbsolute(char* out, const char* path);

// makeAbsolute, then the system's full-path resolution (removes "." and ".."), then, on Windows,
// lower-casing unless keepCase, then normalisation. out has kPathCapacity bytes. Returns false with
// out empty when a step fails or its result would not fit.
bool fullPath(char* out, const char* path, bool keepCase);

// Whether path is relative: on Windows at most 2 characters, or neither "X:\" nor "\\" at its start
// (a leading quote is skipped over); on Linux not starting with '/'.
bool isRelativePath(const char* path);

// A file or directory exists; on Windows, drive roots ("x:\") always count as existing.
bool pathExists(const char* path);

// A directory exists at path (a link to one counts).
bool isDirectory(const char* path);

// Whether path lies inside directory (compared as texts, without regard to case on Windows).
bool isInsideDirectory(const char* path, const char* directory);

// Makes one directory, the current directory or reads it (capacity bytes; false when it does not fit).
bool makeDirectory(const char* path);
bool changeDirectory(const char* path);
bool currentDirectory(char* out, size_t capacity);

// Gives the file at path the permission to be run, where the system has such a permission.
void markExecutable(const char* path);

// Deletes the files and empty subdirectories directly inside directory (no recursion). Does nothing
// for an empty path or one that starts with ".". Logs each attempt. Entries whose path would not
// fit in kPathCapacity bytes are skipped.
void emptyDirectory(const char* directory);

// Names (without directory) of the entries of directory ending in "." and extension ("jar" and
// ".jar" alike), in the order the system lists them. Returns their number; the caller owns *names and
// each name (allocated with new[]; free with freeFileList). No match, or a pattern that would not fit
// in kPathCapacity bytes, leaves *names unset and returns 0.
int listFiles(const char* directory, const char* extension, char*** names);
void freeFileList(char** names, int count);
