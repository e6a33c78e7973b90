// The user's cache on Linux: "<XDG_CACHE_HOME, else ~/.cache>/kestro" (support/user_directories.h).
#include "support/user_cache.h"

#include "support/cleanup.h"
#include "support/file_system.h"
#include "support/log.h"
#include "support/user_directories.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kUnitsPerSecond = 10000000;
// A directory being made is marked in use, except for the moment before it is moved into place;
// one left unmarked this long belongs to a start that was ended while making it.
constexpr uint64_t kAbandonedAfter = 60 * 60 * kUnitsPerSecond;

uint64_t inUnits(const timespec& time) {
    return static_cast<uint64_t>(time.tv_sec) * kUnitsPerSecond + static_cast<uint64_t>(time.tv_nsec) / 100;
}

uint64_t now() {
    timespec time{};
    clock_gettime(CLOCK_REALTIME, &time);
    return inUnits(time);
}

// The entries of room that are no links, read whole before anything in it is removed.
std::vector<std::pair<std::string, struct stat>> entriesOf(const std::string& room) {
    std::vector<std::pair<std::string, struct stat>> entries;
    DIR* listing = opendir(room.c_str());
    if (listing == nullptr)
        return entries;
    while (const dirent* entry = readdir(listing)) {
        struct stat status {};
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0 ||
            lstat((room + "/" + entry->d_name).c_str(), &status) != 0 || S_ISLNK(status.st_mode))
            continue;
        entries.emplace_back(entry->d_name, status);
    }
    closedir(listing);
    return entries;
}

// A runtime entry goes by being renamed away first, so that no start finds it any more.
void removeRuntimeDirectory(const std::string& room, const std::string& name, const char* why) {
    const std::string directory = room + "/" + name;
    if (directoryInUse(directory)) {
        logLine("in use, not deleting %s", directory.c_str());
        return;
    }
    std::string removing = directory;
    if (classifyRuntimeRoomName(name.c_str()) != RuntimeRoomName::BeingRemoved) {
        removing = room + "/" + name.substr(0, kRuntimeEntryNameDigits) + ".old" + std::to_string(getpid());
        if (rename(directory.c_str(), removing.c_str()) != 0) {
            logLine("didn't delete %s", directory.c_str());
            return;
        }
    }
    removeTree(removing);
    logLine("delete %s runtime %s", why, directory.c_str());
}

void cleanRuntimeRoom(const std::string& room, bool (*stop)()) {
    const uint64_t current = now();
    for (const auto& [name, status] : entriesOf(room)) {
        if (stop())
            return;
        if (!S_ISDIR(status.st_mode))
            continue;
        const uint64_t lastUse = inUnits(status.st_mtim);
        switch (classifyRuntimeRoomName(name.c_str())) {
        case RuntimeRoomName::Entry:
            if (unusedFor(lastUse, current, kUnusedCacheDays))
                removeRuntimeDirectory(room, name, "unused");
            break;
        case RuntimeRoomName::BeingMade:
        case RuntimeRoomName::BeingRemoved:
            if (current > lastUse && current - lastUse > kAbandonedAfter)
                removeRuntimeDirectory(room, name, "abandoned");
            break;
        case RuntimeRoomName::Foreign:
            break;
        }
    }
}

void cleanClassDataRoom(const std::string& room, bool (*stop)()) {
    const uint64_t current = now();
    for (const auto& [name, status] : entriesOf(room)) {
        if (stop())
            return;
        if (S_ISREG(status.st_mode) && isClassDataArchiveName(name.c_str()) &&
            unusedFor(inUnits(status.st_mtim), current, kUnusedCacheDays)) {
            const std::string archive = room + "/" + name;
            logLine("%s unused class data archive %s",
                    unlink(archive.c_str()) == 0 ? "delete" : "didn't delete", archive.c_str());
        }
    }
}

} // namespace

bool userCacheRoom(const char* room, char* out) {
    std::string path;
    if (!cacheRoom(room, &path) || path.size() >= kPathCapacity)
        return false;
    memcpy(out, path.c_str(), path.size() + 1);
    return true;
}

void recordCacheUse(const char* path) {
    utimensat(AT_FDCWD, path, nullptr, AT_SYMLINK_NOFOLLOW);
}

void removeUnusedCacheEntries(bool (*stop)()) {
    std::string room;
    if (cacheRoom(kRuntimeRoom, &room))
        cleanRuntimeRoom(room, stop);
    if (!stop() && cacheRoom(kClassDataRoom, &room))
        cleanClassDataRoom(room, stop);
}
