// Path and file utilities. Paths are 8-bit texts in the code page of the file functions (ANSI, or
// OEM when the process switched its file functions to OEM). Relative paths are resolved against the
// executable's directory, never against the current directory. Buffers are kPathCapacity bytes.
// All operations are silent: they return false, 0 or leave the path unchanged and log nothing,
// except emptyDirectory, which logs what it attempts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kPathCapacity = 8192;

// True on the Windows NT family.
bool isWindowsNT();

// The exact 8-bit form of a 16-bit path. False when it does not fit in capacity bytes or a character
// has no 8-bit form; a best-fit look-alike ("L" for "Ł") is never taken, as it names another file.
bool narrowPath(const wchar_t* path, char* out, size_t capacity);

// The 16-bit form of an 8-bit path, however long; empty when it does not convert.
std::wstring widePath(const char* path);

// A form of a 16-bit path that the 8-bit file functions open: its exact 8-bit form, else that of its
// short (8.3) form, which exists only for an existing path. When neither exists the answer is false
// and out holds the path with "?" for each character that has no 8-bit form (empty when it does not
// fit), so that it names no file.
bool openableNarrowPath(const wchar_t* path, char* out, size_t capacity);

// The running executable, in a form the 8-bit file functions can open (its short 8.3 form when the
// long one cannot be represented). Computed once; the text is owned by this module.
const char* executablePath();

// The executable's directory with a trailing backslash. Computed once.
const char* executableDirectory();

// Relative paths are prefixed with the executable's directory; the result is normalised.
// out has kPathCapacity bytes. A result that would not fit is refused, never cut: out is left empty
// and the answer is false.
bool makeAbsolute(char* out, const char* path);

// makeAbsolute, then the system's full-path resolution (removes "." and ".."), then lower-casing
// unless keepCase, then normalisation. out has kPathCapacity bytes. Returns false with out empty
// when a step fails or its result would not fit.
bool fullPath(char* out, const char* path, bool keepCase);

// makeAbsolute on each ';'-separated entry (empty entries skipped), joined with ';', into out of
// capacity bytes. Entries that do not fit whole are left out, later ones still go in; when leftOut is
// given it receives them as written in list, joined with ';'.
void absolutePathList(char* out, size_t capacity, const char* list, std::string* leftOut = nullptr);

// At most 2 characters, or neither "X:\" nor "\\" at its start (a leading quote is skipped over).
bool isRelativePath(const char* path);

// Collapses runs of backslashes to one, keeping two at the very start (network paths). In place;
// left unchanged when the path is kPathCapacity bytes or longer or the round trip through UTF-16
// would lose characters.
void normalizeSeparators(char* path);

// Lower-cases through UTF-16. In place; left unchanged when the path is kPathCapacity bytes or
// longer, when the round trip would lose characters, or when the lower-case form is longer.
void lowerCasePath(char* path);

// A file or directory exists; drive roots ("x:\") always count as existing.
bool pathExists(const char* path);

// A file or directory exists; when lastWriteTime is given it receives the first match's last-write
// time as a 64-bit file time.
bool findFile(const char* path, uint64_t* lastWriteTime);

// Long form of a path with the contract of GetLongPathNameA: the length written, the length needed
// plus one when out is too small, or 0 with the reason in the thread's last error. A character of
// the long form that has no 8-bit form comes back as "?" (which no file name holds), never as a
// look-alike. Uses the system's GetLongPathNameW where it exists and works, else
// longPathNameFallback.
unsigned long longPathName(const char* path, char* out, unsigned long capacity);

// The same contract through the shell's desktop folder, for systems without GetLongPathNameA.
// Works within MAX_PATH: a path whose full form needs MAX_PATH bytes or more (terminator included)
// fails with ERROR_BUFFER_OVERFLOW (111); a parse failure gives its Win32 code or
// ERROR_INVALID_DATA (13).
unsigned long longPathNameFallback(const char* path, char* out, unsigned long capacity);

// Whether two directory paths name the same directory as far as their texts tell: compared in full,
// in their long forms where they exist, without regard to case or a trailing backslash. Links are
// not resolved.
bool sameDirectory(const char* a, const char* b);

// Deletes the files and empty subdirectories directly inside directory (no recursion). Does nothing
// for an empty path or one that starts with ".". Logs each attempt. Entries whose path would not
// fit in kPathCapacity bytes are skipped.
void emptyDirectory(const char* directory);

// Names (without directory) of the entries of directory ending in "." and extension ("jar" and
// ".jar" alike), in search order. Returns their number; the caller owns *names and each name
// (allocated with new[]; free with freeFileList). No match, or a pattern that would not fit in
// kPathCapacity bytes, leaves *names unset and returns 0.
int listFiles(const char* directory, const char* extension, char*** names);
void freeFileList(char** names, int count);
