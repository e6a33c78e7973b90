#include "support/log.h"
#include "support/log_file.h"

#include "support/paths.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr char kFallbackLogPath[] = "c:\\qvx_nlog";

bool logOpened = false;
const char* logPath = nullptr;
FILE* logStream = nullptr;

bool isDirectory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// TMP in a form 8-bit calls open (its short form when its own has characters the ANSI code page
// lacks), or empty. The C runtime's 8-bit copy of the environment holds look-alikes for them.
void temporaryDirectoryVariable(char* out, size_t capacity) {
    wchar_t wide[kPathCapacity];
    DWORD length = GetEnvironmentVariableW(L"TMP", wide, kPathCapacity);
    if (length == 0 || length >= kPathCapacity || !openableNarrowPath(wide, out, capacity))
        out[0] = '\0';
}

// A new, empty file "qvx_nlog_<pid>_<n>" in the directory named by TMP, else in c:\. The C runtime's
// _tempnam would do on Windows, but not every runtime keeps the whole prefix, so the name is made
// here and claimed with CREATE_NEW, which no other process can win at the same time.
char* createUniqueLogName() {
    char tmp[kPathCapacity];
    temporaryDirectoryVariable(tmp, sizeof tmp);
    // A relative TMP is taken as it stands now: the log's name outlives changes of directory (it is
    // shown with every error and queued for deletion).
    char fullTmp[kPathCapacity];
    const DWORD fullLength = *tmp != '\0' ? GetFullPathNameA(tmp, sizeof fullTmp, fullTmp, nullptr) : 0;
    const char* directory =
        fullLength > 0 && fullLength < sizeof fullTmp && isDirectory(fullTmp) ? fullTmp : "c:\\";
    size_t length = strlen(directory);
    const char* separator = length > 0 && directory[length - 1] != '\\' ? "\\" : "";
    const size_t capacity = length + 48;
    char* name = static_cast<char*>(malloc(capacity));
    if (name == nullptr)
        return nullptr;
    const unsigned long processId = GetCurrentProcessId();
    const unsigned long start = GetTickCount();
    for (unsigned long attempt = 0; attempt < 1000; ++attempt) {
        snprintf(name, capacity, "%s%sqvx_nlog_%lx_%lx", directory, separator, processId, start + attempt);
        HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return name;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    free(name);
    return nullptr;
}

// Only ever called by the first log call, which the start-up makes before any other thread runs.
void openLog() {
    logOpened = true;
    char* uniqueName = createUniqueLogName();
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

} // namespace

FILE* openedLogStream() {
    if (!logOpened)
        openLog();
    return logStream;
}

void lockLogStream(FILE* stream) {
    _lock_file(stream);
}

void unlockLogStream(FILE* stream) {
    _unlock_file(stream);
}

const char* logFilePath() {
    return logPath;
}
