// The temporary directory the launcher writes into, and unique names in it. The directory must be
// writable and reachable through 8-bit paths.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Creates and removes "<directory>\kqx_w_testdir"; true when it could be created.
bool isWritableDirectory(const char* directory);

// The system's temporary path (with its trailing backslash) when its long form is representable in
// the ANSI code page; otherwise the first writable of %WINDIR%\temp, c:\temp, c:\tmp, %WINDIR% and
// a created c:\tmp (without trailing backslash). Ends the process with code 1 after telling the
// user when none is writable. out has 8192 bytes.
void chooseTempDirectory(char* out);

// The fallback candidates of chooseTempDirectory, driveRoot standing for "c:\" (with its trailing
// backslash): "<windowsDirectory>\temp", "<driveRoot>temp", "<driveRoot>tmp", windowsDirectory,
// and, when driveRoot itself is writable, a newly created "<driveRoot>tmp". Writes the first
// writable one to out (8192 bytes) and returns true; false when none is. An empty windowsDirectory
// (unknown) skips its two candidates. Candidates that would not fit in 8192 bytes are skipped.
bool findWritableTempDirectory(const char* windowsDirectory, const char* driveRoot, char* out);

// The directories the launcher may write its temporary files into, as chooseTempDirectory would
// choose now but without trying any: the system's temporary path (with its trailing backslash) and,
// when that is not representable in the ANSI code page, every fallback candidate. Empty when the
// system names no temporary path.
std::vector<std::string> possibleTempDirectories();

// Creates a new empty file "kqx<hex>.tmp" in the chosen directory and writes its full name to out
// (at least 260 bytes). Returns false when the system could not create one.
bool temporaryFileName(char* out);

// "<system temp path>kqx_p<pid>.tmp": the name only, nothing is created. out has 8192 bytes; a
// name that would not fit is cut.
void processCommFileName(char* out, unsigned long processId);
