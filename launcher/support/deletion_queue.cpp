#include "support/deletion_queue.h"

#include "support/log.h"
#include "support/paths.h"
#include "support/registry_key.h"

#include <windows.h>

#include <process.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* kQueueKey = "SOFTWARE\\Morvane\\kestro\\temp\\";
constexpr const char* kFileValue = "delete_file";
constexpr const char* kDirectoryValue = "delete_dir";
constexpr size_t kQueueValueLimit = 32767;
// Every read-modify-write of the queue, in every launcher, holds this one.
constexpr const char* kQueueMutex = "kestro_deletion_queue";
// Held for a whole drain: two drains at once would only race each other through the same trees.
constexpr const char* kDrainMutex = "kestro_deletion_drain";
constexpr const char* kInUseMark = "kqx_in_use";
// Deeper than any runtime or application tree; what lies below is left, and the directory with it.
constexpr int kTreeDepthLimit = 64;
// How long the end of the process waits for the drain to put down the entry it is working on.
constexpr DWORD kDrainStopWaitMs = 10000;

std::vector<std::string>& pendingDirectories() {
    static std::vector<std::string> directories;
    return directories;
}

// The marks of this process's directories. Kept open on purpose until the process ends (or the
// directory is discarded): the handle is what tells other launchers that the directory is in use.
std::vector<std::pair<std::string, HANDLE>>& directoryMarks() {
    static std::vector<std::pair<std::string, HANDLE>> marks;
    return marks;
}

std::atomic<bool> drainStopRequested{false};
HANDLE drainThread = nullptr;

// A named mutex of all launchers of this session, owned from construction to destruction. An
// abandoned mutex is owned as well: its last owner died, and each registry write it made is whole.
class NamedLock {
  public:
    NamedLock(const char* name, DWORD waitMs) : mutex_(CreateMutexA(nullptr, FALSE, name)) {
        if (mutex_ == nullptr)
            return;
        const DWORD answer = WaitForSingleObject(mutex_, waitMs);
        owned_ = answer == WAIT_OBJECT_0 || answer == WAIT_ABANDONED;
    }
    ~NamedLock() {
        if (owned_)
            ReleaseMutex(mutex_);
        if (mutex_ != nullptr)
            CloseHandle(mutex_);
    }
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    // Someone else owns it. Without a mutex at all (the system refused one) nobody is taken to.
    bool heldElsewhere() const { return mutex_ != nullptr && !owned_; }

  private:
    HANDLE mutex_;
    bool owned_ = false;
};

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

// The value's text, whatever its length: a value written by queueForDeletion may be up to 32767
// bytes, and cutting it would lose entries when the drain writes back what it kept.
std::string readWholeValue(HKEY key, const char* name) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || !isStringType(type)) {
        return std::string();
    }
    // One byte more than reported, so that a value stored without its terminator still gets one.
    std::vector<char> text(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
            ERROR_SUCCESS ||
        !isStringType(type)) {
        return std::string();
    }
    return std::string(text.data());
}

void storeValue(HKEY key, const char* name, const char* text) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(strlen(text) + 1));
}

std::string markOf(const char* directory) {
    return std::string(directory) + "\\" + kInUseMark;
}

// Only a running launcher holds its directory's mark open, so only then does an exclusive open fail
// for another reason than a missing file. A directory without a mark (queued by an older launcher)
// is nobody's any more.
bool directoryInUse(const char* directory) {
    HANDLE mark = CreateFileA(markOf(directory).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark != INVALID_HANDLE_VALUE) {
        CloseHandle(mark);
        return false;
    }
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// Removes everything inside directory. A junction or symbolic link inside is removed itself and
// never entered, so nothing outside the directory is touched. Stops early when the process ends.
void removeTree(const std::string& directory, int depth) {
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0)
            continue;
        const std::string entry = directory + "\\" + data.cFileName;
        if (entry.size() >= kPathCapacity)
            continue;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
            SetFileAttributesA(entry.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            DeleteFileA(entry.c_str());
            continue;
        }
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && depth < kTreeDepthLimit)
            removeTree(entry, depth + 1);
        RemoveDirectoryA(entry.c_str());
    } while (!drainStopRequested && FindNextFileA(search, &data));
    FindClose(search);
}

// A path resolved against the drain's own current directory would name something else entirely.
bool refuseRelative(const char* entry) {
    if (!isRelativePath(entry))
        return false;
    logLine("not deleting relative %s", entry);
    return true;
}

void keepEntry(std::string* kept, const char* entry) {
    kept->append(entry).append(";");
}

void drainFileEntry(const char* entry, void* context) {
    auto* kept = static_cast<std::string*>(context);
    if (drainStopRequested) {
        keepEntry(kept, entry);
        return;
    }
    if (refuseRelative(entry))
        return;
    // Only a file nobody has open can be opened without sharing; a held file is left alone.
    HANDLE exclusive = CreateFileA(entry, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (exclusive != INVALID_HANDLE_VALUE) {
        CloseHandle(exclusive);
        logLine("delete file %s", entry);
        DeleteFileA(entry);
    }
    if (pathExists(entry)) {
        logLine("didn't delete %s", entry);
        keepEntry(kept, entry);
    }
}

void drainDirectoryEntry(const char* entry, void* context) {
    auto* kept = static_cast<std::string*>(context);
    if (drainStopRequested) {
        keepEntry(kept, entry);
        return;
    }
    if (refuseRelative(entry))
        return;
    if (directoryInUse(entry)) {
        logLine("in use, not deleting %s", entry);
        keepEntry(kept, entry);
        return;
    }
    if (isExtractionDirectoryName(entry))
        removeTree(entry, 0);
    else
        emptyDirectory(entry);
    RemoveDirectoryA(entry);
    logLine("delete dir %s", entry);
    if (pathExists(entry)) {
        logLine("didn't delete %s", entry);
        keepEntry(kept, entry);
    }
}

unsigned __stdcall drainInBackground(void*) {
    drainDeletionQueue();
    return 0;
}

} // namespace

void registerPendingDirectory(const char* directory) {
    if (directory[0] == '.') {
        return;
    }
    pendingDirectories().emplace_back(directory);
}

void queuePendingDeletions() {
    for (const std::string& directory : pendingDirectories()) {
        queueDirectory(directory.c_str());
    }
}

void holdAndQueueFile(const char* path) {
    // Deliberately never closed: without delete sharing, no one can remove the file while we live.
    CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                FILE_ATTRIBUTE_NORMAL, nullptr);
    queueForDeletion(path, kFileValue);
}

bool markDirectoryInUse(const char* directory) {
    // Readers may look; nobody may write, delete or open it exclusively, which is the drain's test.
    HANDLE mark = CreateFileA(markOf(directory).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    // Marked by another launcher already (a language restart runs from its parent's directory): held
    // as well, so that the directory stays in use for as long as either runs.
    if (mark == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
        mark = CreateFileA(markOf(directory).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (mark == INVALID_HANDLE_VALUE) {
        logError("Could not mark %s as in use", directory);
        return false;
    }
    directoryMarks().emplace_back(directory, mark);
    return true;
}

bool isExtractionDirectoryName(const char* directory) {
    const char* separator = strrchr(directory, '\\');
    std::string name = separator != nullptr ? separator + 1 : directory;
    for (char& c : name)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return name.compare(0, 3, "kqx") == 0 && name.find(".tmp_dir") != std::string::npos;
}

void releaseDirectory(const char* directory) {
    auto& marks = directoryMarks();
    for (auto mark = marks.begin(); mark != marks.end(); ++mark) {
        if (mark->first == directory) {
            CloseHandle(mark->second);
            marks.erase(mark);
            return;
        }
    }
}

void removeDirectoryTree(const char* directory) {
    removeTree(directory, 0);
    RemoveDirectoryA(directory);
}

void queueDirectory(const char* directory) {
    queueForDeletion(directory, kDirectoryValue);
}

void queueForDeletion(const char* path, const char* valueName) {
    if (isRelativePath(path)) {
        logLine("couldn't schedule for deletion in %s: %s", valueName, path);
        return;
    }
    NamedLock lock(kQueueMutex, INFINITE);
    RegistryKey key;
    if (!key.create(HKEY_CURRENT_USER, kQueueKey)) {
        return;
    }
    char value[kQueueValueLimit + 1];
    DWORD type = 0;
    // One byte short of the buffer, so that a value stored without its terminator still gets one.
    DWORD size = sizeof value - 1;
    LONG read = RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    if (read != ERROR_SUCCESS || !isStringType(type)) {
        size = 0;
    }
    value[size] = '\0';
    // A value already over the limit is full; reading it as empty would drop its entries.
    if (read == ERROR_MORE_DATA || !appendQueueEntry(value, sizeof value, path, kQueueValueLimit)) {
        logLine("couldn't schedule for deletion in %s: %s", valueName, path);
        return;
    }
    storeValue(key.get(), valueName, value);
    logLine("schedule for deletion in %s: %s", valueName, path);
}

void drainDeletionQueue() {
    NamedLock drain(kDrainMutex, 0);
    if (drain.heldElsewhere()) {
        logLine("deletion queue is being drained elsewhere");
        return;
    }
    // Read under the queue's lock, worked off without it (removing a runtime takes a while, and
    // every start queues its own files meanwhile), written back under it again.
    std::string files;
    std::string directories;
    {
        NamedLock lock(kQueueMutex, INFINITE);
        RegistryKey key;
        if (!key.open(HKEY_CURRENT_USER, kQueueKey, KEY_QUERY_VALUE)) {
            logLine("deletion queue drained");
            return;
        }
        files = readWholeValue(key.get(), kFileValue);
        directories = readWholeValue(key.get(), kDirectoryValue);
    }

    std::string keptFiles;
    forEachQueueEntry(files.c_str(), drainFileEntry, &keptFiles);
    logLine("delete queue %s", directories.c_str());
    std::string keptDirectories;
    forEachQueueEntry(directories.c_str(), drainDirectoryEntry, &keptDirectories);

    NamedLock lock(kQueueMutex, INFINITE);
    RegistryKey key;
    if (!key.open(HKEY_CURRENT_USER, kQueueKey, KEY_QUERY_VALUE | KEY_SET_VALUE)) {
        return;
    }
    keptFiles += entriesAddedSince(files.c_str(), readWholeValue(key.get(), kFileValue).c_str());
    storeValue(key.get(), kFileValue, keptFiles.c_str());
    keptDirectories +=
        entriesAddedSince(directories.c_str(), readWholeValue(key.get(), kDirectoryValue).c_str());
    storeValue(key.get(), kDirectoryValue, keptDirectories.c_str());
    logLine("deletion queue drained");
}

void startTemporaryFileCleanUp() {
    if (const char* log = logFilePath())
        holdAndQueueFile(log);
    // The C runtime's own thread start: the drain uses its streams and heap.
    const uintptr_t thread =
        _beginthreadex(nullptr, 0, drainInBackground, nullptr, CREATE_SUSPENDED, nullptr);
    if (thread == 0) {
        logError("Could not start the clean-up of temporary files");
        return;
    }
    drainThread = reinterpret_cast<HANDLE>(thread);
    SetThreadPriority(drainThread, THREAD_PRIORITY_LOWEST);
    ResumeThread(drainThread);
}

// The drain puts down what it is doing rather than being cut off inside a registry update or a heap
// call.
void stopTemporaryFileCleanUp() {
    if (drainThread == nullptr)
        return;
    drainStopRequested = true;
    WaitForSingleObject(drainThread, kDrainStopWaitMs);
}

bool appendQueueEntry(char* value, size_t capacity, const char* path, size_t limit) {
    // A ';' inside the path would split it into two entries, each naming something else.
    if (strchr(path, ';') != nullptr) {
        return false;
    }
    size_t used = strlen(value);
    size_t length = strlen(path);
    size_t needed = used + length + 2;
    if (needed > limit || needed > capacity) {
        return false;
    }
    memcpy(value + used, path, length);
    value[used + length] = ';';
    value[used + length + 1] = '\0';
    return true;
}

void forEachQueueEntry(const char* list, void (*visit)(const char* entry, void* context), void* context) {
    std::string entry;
    for (const char* start = list; *start != '\0';) {
        const char* end = strchr(start, ';');
        size_t length = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
        if (length > 0) {
            entry.assign(start, length);
            visit(entry.c_str(), context);
        }
        start += length;
        if (*start == ';') {
            ++start;
        }
    }
}

std::string entriesAddedSince(const char* taken, const char* current) {
    struct Difference {
        std::map<std::string, int> taken;
        std::string added;
    } difference;
    forEachQueueEntry(
        taken, [](const char* entry, void* context) { ++static_cast<Difference*>(context)->taken[entry]; },
        &difference);
    forEachQueueEntry(
        current,
        [](const char* entry, void* context) {
            auto* d = static_cast<Difference*>(context);
            auto found = d->taken.find(entry);
            if (found != d->taken.end() && found->second > 0)
                --found->second;
            else
                keepEntry(&d->added, entry);
        },
        &difference);
    return difference.added;
}
