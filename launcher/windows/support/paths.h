// Path and file utilities of Windows, beside those every launcher has (support/file_system.h). Paths
// are 8-bit texts in the code page of the file functions (ANSI, or OEM when the process switched its
// file functions to OEM). Buffers are kPathCapacity bytes. All operations are silent: they return
// false, 0 or leave the path unchanged and log nothing.
#pragma once

#include "support/file_system.h"
#include "support/text_conversion.h"

#include <cstddef>
#include <cstdint>
#include <string>

// True on the Windows NT family.
bool isWindowsNT();

// The exact 8-bit form of a 16-bit path. False when it does not fit in capacity bytes or a character
// has no 8-bit form; a best-fit look-alike ("L" for "Ł") is never taken, as it names another file.
bool narrowPath(const wchar_t* path, char* out, size_t capacity);

// A form of a 16-bit path that the 8-bit file functions open: its exact 8-bit form, else that of its
// short (8.3) form, which exists only for an existing path. When neither exists the answer is false
// and out holds the path with "?" for each character that has no 8-bit form (empty when it does not
// fit), so that it names no file.
bool openableNarrowPath(const wchar_t* path, char* out, size_t capacity);

// makeAbsolute on each ';'-separated entry (empty entries skipped), joined with ';', into out of
// capacity bytes. Entries that do not fit whole are left out, later ones still go in; when leftOut is
// given it receives them as written in list, joined with ';'.
void absolutePathList(char* out, size_t capacity, const char* list, std::string* leftOut = nullptr);

// Collapses runs of backslashes to one, keeping two at the very start (network paths). In place;
// left unchanged when the path is kPathCapacity bytes or longer or the round trip through UTF-16
// would lose characters.
void normalizeSeparators(char* path);

// Lower-cases through UTF-16. In place; left unchanged when the path is kPathCapacity bytes or
// longer, when the round trip would lose characters, or when the lower-case form is longer.
void lowerCasePath(char* path);

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
