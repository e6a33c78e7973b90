#include "jreprovision/runtime_cache.h"

#include "jreprovision/tar_reader.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "support/deletion_queue.h"
#include "support/log.h"
#include "support/named_lock.h"
#include "support/paths.h"
#include "support/user_cache.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

namespace config = kestro::payload::config;

constexpr char kManifestHeader[] = "kestro runtime entry 1 ";
constexpr DWORD kFillWaitMs = 3 * 60 * 1000;
constexpr size_t kDigestLength = 64;

void runtimeDigest(char* digest) {
    char text[kTextCapacity];
    getConfigText(config::RuntimeArchiveDigest, text, sizeof text);
    snprintf(digest, kDigestLength + 1, "%s", text);
}

bool readWholeFile(const std::string& path, std::string* text) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char chunk[8192];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
        text->append(chunk, got);
    const bool read = ferror(file) == 0;
    fclose(file);
    return read;
}

int64_t fileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return -1;
    return static_cast<int64_t>(uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow);
}

struct ManifestCheck {
    std::string home;
    std::string damage;
};

bool fileAsListed(const ManifestFile& file, void* context) {
    auto* check = static_cast<ManifestCheck*>(context);
    if (fileSize(check->home + "\\" + file.path) == file.size)
        return true;
    check->damage = file.path;
    return false;
}

// What the tar reader wrote, in its order.
void listWrittenFile(const char* path, int32_t size, void* context) {
    static_cast<std::vector<ManifestFile>*>(context)->push_back(ManifestFile{path, size});
}

// The runtime's own unpacker replaced each "<jar>.pack" it could by the jar: the manifest lists what
// is there now.
void listRestoredLibraries(const std::string& home, std::vector<ManifestFile>& files) {
    constexpr char kPacked[] = ".pack";
    const size_t suffix = sizeof kPacked - 1;
    std::vector<ManifestFile> restored;
    for (auto file = files.begin(); file != files.end();) {
        const std::string& path = file->path;
        if (path.size() <= suffix || path.compare(path.size() - suffix, suffix, kPacked) != 0) {
            ++file;
            continue;
        }
        const std::string jar = path.substr(0, path.size() - suffix);
        const int64_t jarSize = fileSize(home + "\\" + jar);
        if (jarSize >= 0)
            restored.push_back(ManifestFile{jar, jarSize});
        file = fileSize(home + "\\" + path) >= 0 ? file + 1 : files.erase(file);
    }
    files.insert(files.end(), restored.begin(), restored.end());
}

bool writeManifest(const std::string& path, const std::string& text) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0;
    return fclose(file) == 0 && written;
}

// Undoes a directory this start was making: its mark first, which would keep it.
void discard(const std::string& directory) {
    releaseDirectory(directory.c_str());
    removeDirectoryTree(directory.c_str());
}

// A damaged entry goes out of the way as a whole, so that no start takes it meanwhile; false when
// that fails (a start runs from it).
bool moveAway(const char* entry) {
    const std::string removing = std::string(entry) + ".old" + std::to_string(GetCurrentProcessId());
    if (!MoveFileA(entry, removing.c_str()))
        return false;
    removeDirectoryTree(removing.c_str());
    return true;
}

} // namespace

bool runtimeCacheEntry(char* entry) {
    if (getConfigNumber(config::CacheRuntime) == 0)
        return false;
    char digest[kDigestLength + 1];
    runtimeDigest(digest);
    const std::string name = runtimeEntryName(digest);
    char room[kPathCapacity];
    if (name.empty() || !userCacheRoom(kRuntimeRoom, room))
        return false;
    snprintf(entry, kPathCapacity, "%s\\%s", room, name.c_str());
    return true;
}

bool useCachedRuntime(const char* entry, char* home) {
    const std::string manifest = std::string(entry) + "\\" + kRuntimeManifest;
    std::string text;
    if (!readWholeFile(manifest, &text))
        return false;
    // Marked before it is checked: from then on no clean-up takes it.
    if (!markDirectoryInUse(entry))
        return false;
    char digest[kDigestLength + 1];
    runtimeDigest(digest);
    ManifestCheck check{std::string(entry) + "\\" + kRuntimeHome, std::string()};
    if (!readManifest(text, digest, fileAsListed, &check)) {
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
    const std::string manifest = std::string(entry) + "\\" + kRuntimeManifest;
    logLine("cached JRE %s will be made again", entry);
    DeleteFileA(manifest.c_str());
}

CacheFill fillRuntimeCache(const char* entry, const char* archive, TarProgressSink progress,
                           void* progressContext, int32_t expectedTotalSize,
                           void (*restorePacked)(const char* runtimeHome), char* home) {
    logLine("Caching JRE in %s", entry);
    const char* name = strrchr(entry, '\\') + 1;
    NamedLock lock((std::string("kestro_runtime_cache_") + name).c_str(), 0);
    if (lock.heldElsewhere()) {
        logLine("another start is caching the JRE; waiting");
        lock.waitLonger(kFillWaitMs);
    }
    // Made meanwhile by the start that held the lock.
    if (useCachedRuntime(entry, home))
        return CacheFill::Done;
    if (pathExists(entry) && !moveAway(entry)) {
        logError("Could not replace the damaged cached JRE %s", entry);
        return CacheFill::NotCached;
    }

    const std::string making = std::string(entry) + ".new" + std::to_string(GetCurrentProcessId());
    const std::string runtime = making + "\\" + kRuntimeHome;
    removeDirectoryTree(making.c_str());
    if (!CreateDirectoryA(making.c_str(), nullptr) || !markDirectoryInUse(making.c_str()) ||
        !CreateDirectoryA(runtime.c_str(), nullptr)) {
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
    if (restorePacked != nullptr) {
        restorePacked(runtime.c_str());
        listRestoredLibraries(runtime, files);
    }
    char digest[kDigestLength + 1];
    runtimeDigest(digest);
    if (!writeManifest(making + "\\" + kRuntimeManifest, manifestText(digest, files.data(), files.size()))) {
        logError("Could not write the manifest of %s", making.c_str());
        discard(making);
        return CacheFill::NotCached;
    }
    // A directory with an open file inside cannot move.
    releaseDirectory(making.c_str());
    if (!MoveFileA(making.c_str(), entry)) {
        // Another start's entry got there first (it waited in vain for the lock, say): that one is
        // as good as this one.
        if (useCachedRuntime(entry, home)) {
            removeDirectoryTree(making.c_str());
            return CacheFill::Done;
        }
        logError("Could not move %s into place", making.c_str());
        removeDirectoryTree(making.c_str());
        return CacheFill::NotCached;
    }
    return useCachedRuntime(entry, home) ? CacheFill::Done : CacheFill::NotCached;
}

std::string manifestText(const char* digest, const ManifestFile* files, size_t count) {
    std::string text = std::string(kManifestHeader) + digest + "\n";
    for (size_t i = 0; i < count; ++i)
        text += std::to_string(files[i].size) + " " + files[i].path + "\n";
    return text;
}

bool readManifest(const std::string& text, const char* digest,
                  bool (*visit)(const ManifestFile& file, void* context), void* context) {
    const size_t headerEnd = text.find('\n');
    const std::string header = text.substr(0, headerEnd);
    const size_t prefix = sizeof kManifestHeader - 1;
    if (headerEnd == std::string::npos || header.compare(0, prefix, kManifestHeader) != 0 ||
        header.size() != prefix + strlen(digest) || _stricmp(header.c_str() + prefix, digest) != 0)
        return false;
    for (size_t start = headerEnd + 1; start < text.size();) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return false; // cut off
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        char* pathStart = nullptr;
        const long long size = strtoll(line.c_str(), &pathStart, 10);
        if (pathStart == line.c_str() || *pathStart != ' ' || pathStart[1] == '\0' || size < 0)
            return false;
        if (!visit(ManifestFile{pathStart + 1, size}, context))
            return false;
    }
    return true;
}
