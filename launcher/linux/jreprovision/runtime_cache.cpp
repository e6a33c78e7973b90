// The runtime cache on Linux: entries in the "runtimes" room of the user's cache, made under a lock
// file of their own, marked in use by every launcher that runs from them (support/cleanup.h).
#include "jreprovision/runtime_cache.h"

#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "support/cleanup.h"
#include "support/file_system.h"
#include "support/log.h"
#include "support/user_cache.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace config = kestro::payload::config;

constexpr int kFillWaitSteps = 3 * 60 * 10;
constexpr useconds_t kFillWaitStep = 100 * 1000;

std::string runtimeDigest() {
    char text[kTextCapacity];
    getConfigText(config::RuntimeArchiveDigest, text, sizeof text);
    return text;
}

bool readWholeFile(const std::string& path, std::string* text) {
    FILE* file = fopen(path.c_str(), "rbe");
    if (file == nullptr)
        return false;
    char chunk[8192];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
        text->append(chunk, got);
    const bool read = ferror(file) == 0;
    fclose(file);
    return read;
}

struct ManifestCheck {
    std::string home;
    std::string damage;
};

bool fileAsListed(const ManifestFile& file, void* context) {
    auto* check = static_cast<ManifestCheck*>(context);
    struct stat status {};
    if (lstat((check->home + "/" + file.path).c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_size == file.size)
        return true;
    check->damage = file.path;
    return false;
}

// What the tar reader wrote, in its order.
void listWrittenFile(const char* path, int32_t size, void* context) {
    static_cast<std::vector<ManifestFile>*>(context)->push_back(ManifestFile{path, size});
}

// The manifest reaches the disk before the entry is moved into place: a power cut must not leave an
// entry whose manifest vouches for files that never arrived whole.
bool writeManifest(const std::string& path, const std::string& text) {
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0)
        return false;
    const bool written =
        write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(file) == 0;
    return close(file) == 0 && written;
}

// Held while an entry is made; another start that wants to make it waits (at most three minutes).
class FillLock {
  public:
    explicit FillLock(const std::string& path)
        : file_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (file_ < 0)
            return;
        for (int step = 0; step < kFillWaitSteps; ++step) {
            if (flock(file_, LOCK_EX | LOCK_NB) == 0)
                return;
            if (step == 0)
                logLine("another start is caching the JRE; waiting");
            usleep(kFillWaitStep);
        }
    }
    ~FillLock() {
        if (file_ >= 0)
            close(file_);
    }
    FillLock(const FillLock&) = delete;
    FillLock& operator=(const FillLock&) = delete;

  private:
    int file_;
};

void discard(const std::string& directory) {
    releaseDirectory(directory);
    removeTree(directory);
}

} // namespace

bool runtimeCacheEntry(char* entry) {
    if (getConfigNumber(config::CacheRuntime) == 0)
        return false;
    const std::string name = runtimeEntryName(runtimeDigest().c_str());
    char room[kPathCapacity];
    if (name.empty() || !userCacheRoom(kRuntimeRoom, room))
        return false;
    const std::string path = std::string(room) + "/" + name;
    if (path.size() >= kPathCapacity)
        return false;
    memcpy(entry, path.c_str(), path.size() + 1);
    return true;
}

bool useCachedRuntime(const char* entry, char* home) {
    std::string text;
    if (!readWholeFile(std::string(entry) + "/" + kRuntimeManifest, &text))
        return false;
    // Marked before it is checked: from then on no clean-up takes it.
    if (!markDirectoryInUse(entry))
        return false;
    ManifestCheck check{std::string(entry) + "/" + kRuntimeHome, std::string()};
    if (!readManifest(text, runtimeDigest().c_str(), fileAsListed, &check)) {
        logLine("cached JRE %s damaged: %s", entry,
                check.damage.empty() ? kRuntimeManifest : check.damage.c_str());
        releaseDirectory(entry);
        return false;
    }
    recordCacheUse(entry);
    snprintf(home, kPathCapacity, "%s", check.home.c_str());
    logLine("Using cached JRE %s", home);
    return true;
}

void discardCachedRuntime(const char* entry) {
    logLine("cached JRE %s will be made again", entry);
    unlink((std::string(entry) + "/" + kRuntimeManifest).c_str());
}

CacheFill fillRuntimeCache(const char* entry, const char* archive, TarProgressSink progress,
                           void* progressContext, int32_t expectedTotalSize,
                           void (*restorePacked)(const char* runtimeHome), char* home) {
    logLine("Caching JRE in %s", entry);
    FillLock lock(std::string(entry) + ".lock");
    // Made meanwhile by the start that held the lock.
    if (useCachedRuntime(entry, home))
        return CacheFill::Done;
    if (pathExists(entry)) {
        if (directoryInUse(entry)) {
            logError("Could not replace the damaged cached JRE %s: in use", entry);
            return CacheFill::NotCached;
        }
        const std::string removing = std::string(entry) + ".old" + std::to_string(getpid());
        if (rename(entry, removing.c_str()) != 0) {
            logError("Could not replace the damaged cached JRE %s", entry);
            return CacheFill::NotCached;
        }
        removeTree(removing);
    }
    const std::string making = std::string(entry) + ".new" + std::to_string(getpid());
    const std::string runtime = making + "/" + kRuntimeHome;
    removeTree(making);
    if (mkdir(making.c_str(), 0755) != 0 || !markDirectoryInUse(making) ||
        mkdir(runtime.c_str(), 0755) != 0) {
        logError("Could not create %s", runtime.c_str());
        discard(making);
        return CacheFill::NotCached;
    }
    std::vector<ManifestFile> files;
    bool writeFailed = false;
    if (!extractRuntimeArchiveReporting(archive, runtime.c_str(), progress, progressContext,
                                        expectedTotalSize, &writeFailed,
                                        TarFileSink{listWrittenFile, &files})) {
        discard(making);
        return writeFailed ? CacheFill::NotCached : CacheFill::ArchiveCorrupt;
    }
    if (restorePacked != nullptr)
        restorePacked(runtime.c_str());
    if (!writeManifest(making + "/" + kRuntimeManifest,
                       manifestText(runtimeDigest().c_str(), files.data(), files.size()))) {
        logError("Could not write the manifest of %s", making.c_str());
        discard(making);
        return CacheFill::NotCached;
    }
    releaseDirectory(making);
    if (rename(making.c_str(), entry) != 0) {
        // Another start's entry got there first (it waited in vain for the lock, say): that one is as
        // good as this one.
        removeTree(making);
        if (useCachedRuntime(entry, home))
            return CacheFill::Done;
        logError("Could not move %s into place", making.c_str());
        return CacheFill::NotCached;
    }
    return useCachedRuntime(entry, home) ? CacheFill::Done : CacheFill::NotCached;
}
