#include "support/log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr char kFallbackLogPath[] = "c:\\qvx_nlog";

bool logOpened = false;
const char* logPath = nullptr;
FILE* logStream = nullptr;

// Only ever called by the first log call, which the start-up makes before any other thread runs.
void openLog() {
    logOpened = true;
    // _tempnam prefers the directory named by TMP when it exists, else the one given here.
    char* uniqueName = _tempnam("c:\\", "qvx_nlog_");
    logPath = uniqueName;
    if (uniqueName != nullptr)
        logStream = fopen(uniqueName, "w");
    if (logStream == nullptr) {
        logPath = kFallbackLogPath;
        logStream = fopen(kFallbackLogPath, "w");
        if (logStream == nullptr)
            return;
    }
    char executable[8192];
    DWORD length = GetModuleFileNameA(nullptr, executable, sizeof executable);
    if (length == 0 || length >= sizeof executable)
        executable[0] = '\0';
    time_t now = time(nullptr);
    const char* startTime = ctime(&now);
    // ctime's text ends with a newline, so the header is followed by an empty line.
    fprintf(logStream, "Started executable %s at %s\n", executable, startTime != nullptr ? startTime : "\n");
}

void writeLine(const char* prefix, const char* format, va_list arguments) {
    if (!logOpened)
        openLog();
    if (logStream == nullptr)
        return;
    fputs(prefix, logStream);
    vfprintf(logStream, format, arguments);
    fputc('\n', logStream);
    fflush(logStream);
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

const char* logFilePath() {
    return logPath;
}
