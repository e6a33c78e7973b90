// The rule for the names configuration 2003 gives the included files, free of Win32.
#pragma once

// A name may only place a file inside the extraction directory: no drive or stream colon, no
// leading separator, nothing empty, and no step that Windows could take for ".." (two or more dots
// with nothing but dots and blanks, since trailing dots and blanks are dropped from a step).
bool isSafeIncludedFileName(const char* name);
