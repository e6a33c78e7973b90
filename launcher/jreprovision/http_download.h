// Downloading a Java runtime archive over HTTP(S) through WinINet, which is bound at run time so that
// the launcher starts on systems without it. Progress goes to a dialog: its control 1002 shows a
// status line (message 20009 while connecting, then message 20008 formatted), its progress bar 1001
// (range 0 to 100) the share received.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Loads "wininet.dll" from the system directory (never from the executable's folder or the current
// directory) and resolves the functions the download needs. Returns false and logs
// "Could not load wininet.dll" or "Could not load wininet functions". Later calls answer at once.
bool initInternetLibrary();

// Downloads location into destination (created or truncated), showing progress in window's controls
// (none when window is null). The response must be HTTP status 200 with a content length; a missing
// content length is asked for 20 times, 300 ms apart, reopening the location each time. When
// expectedSha256 is not empty, the file's SHA-256 must equal it (hex, either case). Returns true after
// "download successful"; on every failure logs an error line, deletes whatever was written of the
// destination and returns false. initInternetLibrary must have succeeded.
bool downloadFile(HWND window, const char* location, const char* destination, const char* expectedSha256);

// Building blocks of the above, free of side effects.

// Units of the status line buffer, terminator included.
constexpr size_t kStatusCapacity = 1000;

// The built-in status format, used when the configured one is not usable.
extern const wchar_t kDefaultStatusFormat[];

// True when format takes exactly four double arguments: four conversions of the letters f, e, E, g
// or G, each with at most flags, a width and a precision of up to two digits each, and otherwise only
// "%%". Anything else ("%s", "%n", "%*f", "%Lf", a lone "%") would read arguments that are not there.
bool isDownloadStatusFormat(const wchar_t* format);

// The status line: format (kDefaultStatusFormat when it is not a download status format) with the
// megabytes received, the megabytes in all, the percentage and the rate in bytes per millisecond.
// An elapsed time of 0 counts as 1 ms, so the rate is a lower bound rather than a division by zero.
// out has capacity units and is always terminated; a longer result is cut.
void formatDownloadStatus(const wchar_t* format, uint32_t received, uint32_t size, uint32_t elapsedMs,
                          wchar_t* out, size_t capacity);

// received / size * 100, truncated toward zero; 0 when size is 0.
int32_t downloadProgressPosition(uint32_t received, uint32_t size);
