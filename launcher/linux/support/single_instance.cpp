#include "support/single_instance.h"

#include "support/errors.h"
#include "support/file_system.h"
#include "support/log.h"
#include "support/text_conversion.h"
#include "support/user_directories.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kHandOverWaitSteps = 200;
constexpr useconds_t kHandOverWaitStep = 50 * 1000;
// The first start writes its id right after it took the lock; a later one waits that long for it.
constexpr int kProcessIdWaitSteps = 50;
constexpr useconds_t kProcessIdWaitStep = 20 * 1000;

std::string guardName;

std::string privateDirectory() {
    std::string directory;
    if (!privateRuntimeDirectory(&directory))
        directory.clear();
    return directory;
}

unsigned long readProcessId(int lock) {
    for (int step = 0; step < kProcessIdWaitSteps; ++step) {
        char text[32] = {};
        if (pread(lock, text, sizeof text - 1, 0) > 0) {
            const unsigned long processId = strtoul(text, nullptr, 10);
            if (processId != 0)
                return processId;
        }
        usleep(kProcessIdWaitStep);
    }
    return 0;
}

// The line goes into a file of its own first and is then renamed into place, so that the Java side
// never reads half of it; the previous hand-over is consumed first (or 10 s passed).
void handArgumentsOver(unsigned long firstInstance, const std::vector<std::string>& arguments) {
    char commFile[kPathCapacity];
    processCommFileName(commFile, firstInstance);
    for (int step = 0; step < kHandOverWaitSteps && pathExists(commFile); ++step)
        usleep(kHandOverWaitStep);
    const std::wstring line = wideFromNarrow((handOverLine(arguments) + "\n").c_str());
    std::string bytes;
    for (wchar_t unit : line) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8 & 0xFF);
    }
    const std::string writing = std::string(commFile) + ".new" + std::to_string(getpid());
    FILE* out = fopen(writing.c_str(), "wbe");
    if (out == nullptr)
        return;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (fclose(out) == 0 && written && rename(writing.c_str(), commFile) == 0)
        logLine("arguments handed over to process %lu", firstInstance);
    else
        unlink(writing.c_str());
}

} // namespace

std::string instanceKey(const std::string& executable) {
    // FNV-1a: a name, not a secret.
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : executable) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char key[17];
    snprintf(key, sizeof key, "%016llx", static_cast<unsigned long long>(hash));
    return key;
}

std::string handOverLine(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty())
            line += ' ';
        const bool plain = !argument.empty() && argument.find_first_of(" \"'") == std::string::npos;
        if (plain) {
            line += argument;
        } else if (argument.find('"') == std::string::npos) {
            line += '"' + argument + '"';
        } else if (argument.find('\'') == std::string::npos) {
            line += '\'' + argument + '\'';
        } else {
            std::string kept;
            for (char c : argument)
                if (c != '\'')
                    kept += c;
            line += '\'' + kept + '\'';
        }
    }
    return line;
}

void processCommFileName(char* out, unsigned long processId) {
    snprintf(out, kPathCapacity, "%s/kqx_p%lu.tmp", privateDirectory().c_str(), processId);
}

const char* instanceName() {
    return guardName.empty() ? nullptr : guardName.c_str();
}

void discardStaleHandOver() {
    char commFile[kPathCapacity];
    processCommFileName(commFile, static_cast<unsigned long>(getpid()));
    if (unlink(commFile) == 0)
        logLine("removed a hand-over nobody took: %s", commFile);
}

void guardSingleInstance(bool handOver, const std::vector<std::string>& arguments) {
    const std::string directory = privateDirectory();
    if (directory.empty()) {
        logError("no private directory for the single-instance lock");
        return;
    }
    const std::string lockPath = directory + "/kqx_instance_" + instanceKey(executablePath()) + ".lock";
    guardName = lockPath;
    // Kept open on purpose: the lock is held exactly as long as this process runs.
    const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock < 0) {
        logError("could not open the single-instance lock %s", lockPath.c_str());
        return;
    }
    if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
        const std::string processId = std::to_string(getpid()) + "\n";
        if (ftruncate(lock, 0) != 0 || pwrite(lock, processId.data(), processId.size(), 0) < 0)
            logError("could not record this process in %s", lockPath.c_str());
        return;
    }
    const unsigned long firstInstance = readProcessId(lock);
    logLine("another instance is running (process %lu)", firstInstance);
    if (handOver && firstInstance != 0)
        handArgumentsOver(firstInstance, arguments);
    exitLauncher(0);
}
