// The native log: one plain-text diagnostic file per process, opened by the first log call, where
// the system's launcher keeps it (windows/support/log.cpp: "qvx_nlog_" plus a unique suffix in the
// TMP directory; linux/support/log.cpp: under the user's cache). Every line is flushed at once so
// that nothing is lost when the process ends abruptly.
#pragma once

#include "support/platform.h"

// The formats are those of the system's C runtime: Microsoft's on Windows ("%I64d"; portable code
// writes PRId64 from <cinttypes>).
#if KESTRO_WINDOWS
#define KESTRO_LOG_FORMAT __attribute__((format(ms_printf, 1, 2)))
#else
#define KESTRO_LOG_FORMAT __attribute__((format(printf, 1, 2)))
#endif

// Writes the formatted text and a newline. Never fails visibly; writes nothing when no log could
// be opened. The first call of the process must be made while only one thread runs.
void logLine(const char* format, ...) KESTRO_LOG_FORMAT;

// Writes "ERROR: ", the formatted text and a newline. Same contract as logLine.
void logError(const char* format, ...) KESTRO_LOG_FORMAT;

// The name under which the log was opened (or last tried), or null before the first log call.
// Never opens the log itself.
const char* logFilePath();
