// The native log: one plain-text diagnostic file per process, opened by the first log call.
// Its name is "qvx_nlog_" plus a unique suffix in the TMP directory (else in c:\), falling back to
// the fixed name "c:\qvx_nlog". Every line is flushed at once so that nothing is lost when the
// process ends abruptly.
#pragma once

// Writes the formatted text and a newline. Never fails visibly; writes nothing when no log could
// be opened. The first call of the process must be made while only one thread runs.
void logLine(const char* format, ...) __attribute__((format(ms_printf, 1, 2)));

// Writes "ERROR: ", the formatted text and a newline. Same contract as logLine.
void logError(const char* format, ...) __attribute__((format(ms_printf, 1, 2)));

// The name under which the log was opened (or last tried), or null before the first log call.
// Never opens the log itself.
const char* logFilePath();
