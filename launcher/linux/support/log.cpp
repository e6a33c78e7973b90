// The native log of a Linux launcher: "qvx_nlog_<pid>_<n>" in the "logs" room of the user's cache
// (support/user_directories.h), else in the private runtime directory. The open log is locked for as
// long as the process lives, which tells the clean-up (support/cleanup.h) that it is in use.
#include "support/log.h"
#include "support/log_file.h"

#include "support/file_system.h"
#include "support/user_directories.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

bool logOpened = false;
std::string logPath;
FILE* logStream = nullptr;

// A new file in directory, claimed with O_EXCL, which no other process can win at the same time.
FILE* createUniqueLog(const std::string& directory) {
    const unsigned long processId = static_cast<unsigned long>(getpid());
    const unsigned long start = static_cast<unsigned long>(time(nullptr));
    for (unsigned long attempt = 0; attempt < 1000; ++attempt) {
        char name[64];
        snprintf(name, sizeof name, "/qvx_nlog_%lx_%lx", processId, start + attempt);
        const std::string path = directory + name;
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (file < 0 && errno == EEXIST)
            continue;
        if (file < 0)
            return nullptr;
        flock(file, LOCK_EX | LOCK_NB);
        logPath = path;
        return fdopen(file, "w");
    }
    return nullptr;
}

// Only ever called by the first log call, which the start-up makes before any other thread runs.
void openLog() {
    logOpened = true;
    std::string directory;
    if (cacheRoom("logs", &directory))
        logStream = createUniqueLog(directory);
    if (logStream == nullptr && privateRuntimeDirectory(&directory))
        logStream = createUniqueLog(directory);
    if (logStream == nullptr)
        return;
    const time_t now = time(nullptr);
    const char* startTime = ctime(&now);
    // ctime's text ends with a newline, so the header is followed by an empty line.
    fprintf(logStream, "Started executable %s at %s\n", executablePath(),
            startTime != nullptr ? startTime : "\n");
}

} // namespace

FILE* openedLogStream() {
    if (!logOpened)
        openLog();
    return logStream;
}

void lockLogStream(FILE* stream) {
    flockfile(stream);
}

void unlockLogStream(FILE* stream) {
    funlockfile(stream);
}

const char* logFilePath() {
    return logOpened && !logPath.empty() ? logPath.c_str() : nullptr;
}
