// Downloading a Java runtime archive over HTTP(S) through WinINet, which is bound at run time so that
// the launcher starts on systems without it. What the download has to tell while it runs goes to a
// sink (a status line: message 20009 while connecting, then message 20008 formatted; and the share
// received); the layer that owns a window shows it. A failure answers why, in terms the user can act
// on (describeDownloadFailure).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What a download reports while it runs; a null member is not wanted.
struct DownloadSink {
    void (*status)(const wchar_t* text, void* context) = nullptr;
    void (*position)(int32_t percent, void* context) = nullptr; // 0 to 100
    void* context = nullptr;
};

// Why a download failed, as far as it tells the user what to do.
enum class DownloadFailure {
    None,
    InvalidLocation, // no address WinINet can open
    NameNotResolved, // the server's name is unknown, or the computer is offline
    CannotConnect,   // nobody answered at the server's address, or not in time
    UntrustedServer, // the secure connection's certificate was refused
    HttpStatus,      // the server answered, but not with the file
    NoLength,        // the server never said how large the file is
    ConnectionLost,  // the transfer broke off before the whole file had arrived
    WriteFailed,     // the file could not be written
    DigestMismatch,  // the file is not the one the configured SHA-256 names
    Other,
};

struct DownloadResult {
    DownloadFailure failure = DownloadFailure::None;
    // The HTTP status for HttpStatus, else the system's error code when there is one (0 otherwise).
    unsigned long code = 0;
    bool succeeded() const { return failure == DownloadFailure::None; }
};

// Loads "wininet.dll" from the system directory (never from the executable's folder or the current
// directory) and resolves the functions the download needs. Returns false and logs
// "Could not load wininet.dll" or "Could not load wininet functions". Later calls answer at once.
bool initInternetLibrary();

// Downloads location into destination (a full path; created or truncated), reporting to sink. The
// response must be HTTP status 200 with a content length; a missing content length is asked for 20
// times, 300 ms apart, reopening the location each time. When expectedSha256 is not empty, the file's
// SHA-256 must equal it (hex, either case). Succeeds after "download successful"; on every failure
// logs an error line, deletes whatever was written of the destination and answers why.
// initInternetLibrary must have succeeded.
DownloadResult downloadFile(const char* location, const char* destination, const char* expectedSha256,
                            const DownloadSink& sink);

// Building blocks of the above, free of side effects.

// The kind of failure a WinINet or system error code stands for (Other for codes of no known kind).
DownloadFailure failureOfError(unsigned long code);

// What the user is told after the download's own message: why the download failed and what to do,
// naming the server (from location) or the destination's folder where that helps, and ending with
// the system's error code when there is one. Empty for a success.
std::wstring describeDownloadFailure(const DownloadResult& result, const char* location,
                                     const char* destination);

// The server part of location ("host" or "host:port"): what follows the scheme's "//" up to the
// next '/', '?' or '#', without a "user@" part; the whole location when it has no "//".
std::string downloadServer(const char* location);

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
