// The native log's lines, the same on every system; the system's launcher keeps the file
// (support/log_file.h).
#include "support/log.h"
#include "support/log_file.h"

#include <cstdarg>
#include <cstdio>

namespace {

void writeLine(const char* prefix, const char* format, va_list arguments) {
    FILE* stream = openedLogStream();
    if (stream == nullptr)
        return;
    // One whole line at a time: the clean-up thread logs while start-up goes on.
    lockLogStream(stream);
    fputs(prefix, stream);
    vfprintf(stream, format, arguments);
    fputc('\n', stream);
    fflush(stream);
    unlockLogStream(stream);
}

} // namespace

void logLine(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeLine("", format, arguments);
    va_end(arguments);
}

void logError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeLine("ERROR: ", format, arguments);
    va_end(arguments);
}
