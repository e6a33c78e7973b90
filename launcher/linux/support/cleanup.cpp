#include "support/cleanup.h"

#include "support/log.h"
#include "support/user_cache.h"
#include "support/user_directories.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

namespace {

constexpr char kInUseMark[] = "kqx_in_use";
constexpr time_t kUnmarkedGrace = 60;     // a start makes its directory, then marks it at once
constexpr time_t kLogKept = 24 * 60 * 60; // a day, so that the log of a failed start can be sent
constexpr int kLowestPriority = 19;

std::mutex ownLock;
std::map<std::string, int> marks; // directory: the locked mark's descriptor
std::vector<std::string> ownDirectories;

bool skipPrefix(const char*& text, const char* prefix) {
    const size_t length = strlen(prefix);
    if (strncmp(text, prefix, length) != 0)
        return false;
    text += length;
    return true;
}

bool skipDigits(const char*& text, size_t most, bool hex) {
    size_t count = 0;
    while (count < most &&
           (hex ? isxdigit(static_cast<unsigned char>(*text)) : isdigit(static_cast<unsigned char>(*text)))) {
        ++text;
        ++count;
    }
    return count > 0;
}

// Removes the entries of the directory open as handle, then closes it; links are removed, not entered.
bool emptyOpenDirectory(int handle) {
    DIR* listing = fdopendir(handle);
    if (listing == nullptr) {
        close(handle);
        return false;
    }
    bool whole = true;
    while (const dirent* entry = readdir(listing)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        if (unlinkat(handle, entry->d_name, 0) == 0)
            continue;
        const int inner = openat(handle, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (inner < 0) {
            whole = false;
            continue;
        }
        whole = emptyOpenDirectory(inner) && unlinkat(handle, entry->d_name, AT_REMOVEDIR) == 0 && whole;
    }
    closedir(listing);
    return whole;
}

time_t modifiedAt(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mtime : 0;
}

void removeLeftoverExtractions(const std::string& room) {
    DIR* listing = opendir(room.c_str());
    if (listing == nullptr)
        return;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing))
        names.emplace_back(entry->d_name);
    closedir(listing);
    const time_t now = time(nullptr);
    for (const std::string& name : names) {
        const std::string path = room + "/" + name;
        unsigned long processId = 0;
        if (isHandOverName(name.c_str(), &processId)) {
            // Nobody reads it any more: the process it was for has ended.
            if (kill(static_cast<pid_t>(processId), 0) != 0 && errno == ESRCH && unlink(path.c_str()) == 0)
                logLine("removed a hand-over nobody took: %s", path.c_str());
            continue;
        }
        if (!isExtractionDirectoryName(name.c_str()))
            continue;
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
            continue;
        // The mark is looked for before its lock: a start that marks its directory in between is then
        // taken for one that has not marked it yet, whose directory is given its minute.
        const bool marked = access((path + "/" + kInUseMark).c_str(), F_OK) == 0;
        if (directoryInUse(path) || (!marked && now - status.st_mtime < kUnmarkedGrace))
            continue;
        logLine("%s %s", removeTree(path) ? "deleted" : "could not delete", path.c_str());
    }
}

void removeOldLogs(const std::string& room) {
    DIR* listing = opendir(room.c_str());
    if (listing == nullptr)
        return;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing))
        if (isLauncherLogName(entry->d_name))
            names.emplace_back(entry->d_name);
    closedir(listing);
    const time_t now = time(nullptr);
    for (const std::string& name : names) {
        const std::string path = room + "/" + name;
        if (now - modifiedAt(path) < kLogKept)
            continue;
        const int log = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (log < 0)
            continue;
        // Locked by the launcher that writes it for as long as that runs.
        if (flock(log, LOCK_EX | LOCK_NB) == 0)
            unlink(path.c_str());
        close(log);
    }
}

bool neverStop() {
    return false;
}

void* cleanUp(void*) {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kLowestPriority);
    std::string room;
    if (privateRuntimeDirectory(&room))
        removeLeftoverExtractions(room);
    if (cacheRoom("logs", &room))
        removeOldLogs(room);
    removeUnusedCacheEntries(neverStop);
    return nullptr;
}

} // namespace

bool markDirectoryInUse(const std::string& directory) {
    const std::string markPath = directory + "/" + kInUseMark;
    // A new mark is locked before it gets its name: a clean-up that met it unlocked would take the
    // directory for one a killed launcher left, and remove it under this start.
    const std::string making = markPath + ".new" + std::to_string(getpid());
    int mark = open(making.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (mark >= 0) {
        const bool named = flock(mark, LOCK_SH) == 0 && link(making.c_str(), markPath.c_str()) == 0;
        unlink(making.c_str());
        if (!named) {
            close(mark);
            mark = -1;
        }
    }
    // The mark of a directory several launchers share (a runtime entry) is locked where it stands.
    if (mark < 0)
        mark = open(markPath.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (mark < 0 || flock(mark, LOCK_SH) != 0) {
        if (mark >= 0)
            close(mark);
        logError("Could not mark %s as in use", directory.c_str());
        return false;
    }
    std::lock_guard<std::mutex> hold(ownLock);
    marks.emplace(directory, mark);
    return true;
}

bool directoryInUse(const std::string& directory) {
    const int mark = open((directory + "/" + kInUseMark).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (mark < 0)
        return false;
    const bool held = flock(mark, LOCK_EX | LOCK_NB) != 0;
    close(mark);
    return held;
}

void releaseDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> hold(ownLock);
    const auto found = marks.find(directory);
    if (found == marks.end())
        return;
    close(found->second);
    marks.erase(found);
}

bool removeTree(const std::string& path) {
    const int handle = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (handle < 0)
        return unlink(path.c_str()) == 0;
    return emptyOpenDirectory(handle) && rmdir(path.c_str()) == 0;
}

void removeAtExit(const std::string& directory) {
    std::lock_guard<std::mutex> hold(ownLock);
    ownDirectories.push_back(directory);
}

void removeOwnDirectories() {
    std::vector<std::string> directories;
    {
        std::lock_guard<std::mutex> hold(ownLock);
        directories = ownDirectories;
    }
    for (const std::string& directory : directories) {
        releaseDirectory(directory);
        if (!removeTree(directory))
            logError("could not remove %s", directory.c_str());
    }
}

void startCleanUp() {
    pthread_t thread;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&thread, &attributes, cleanUp, nullptr) != 0)
        logError("Could not start the clean-up of temporary files");
    pthread_attr_destroy(&attributes);
}

bool isExtractionDirectoryName(const char* name) {
    return skipPrefix(name, "kqx") && skipDigits(name, 8, true) && skipPrefix(name, ".tmp_dir") &&
           skipDigits(name, 10, false) && *name == '\0';
}

bool isLauncherLogName(const char* name) {
    return skipPrefix(name, "qvx_nlog_") && skipDigits(name, 16, true) && skipPrefix(name, "_") &&
           skipDigits(name, 16, true) && *name == '\0';
}

bool isHandOverName(const char* name, unsigned long* processId) {
    const char* digits = name;
    if (!skipPrefix(digits, "kqx_p"))
        return false;
    const char* rest = digits;
    if (!skipDigits(rest, 10, false) || strcmp(rest, ".tmp") != 0)
        return false;
    *processId = strtoul(digits, nullptr, 10);
    return true;
}
