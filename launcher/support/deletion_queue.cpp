#include "support/deletion_queue.h"

#include "support/log.h"
#include "support/named_lock.h"
#include "support/paths.h"
#include "support/process_rights.h"
#include "support/registry_key.h"
#include "support/temp_directory.h"
#include "support/user_cache.h"

#include <windows.h>

#include <process.h>

#include <atomic>
#include <cctype>
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

// Skips 1 to maxDigits digits (hexadecimal ones with hex) at text; false when there is none.
bool skipDigits(const char*& text, size_t maxDigits, bool hex) {
    size_t count = 0;
    while (count < maxDigits && (isdigit(static_cast<unsigned char>(*text)) ||
                                 (hex && isxdigit(static_cast<unsigned char>(*text))))) {
        ++text;
        ++count;
    }
    return count > 0;
}

// prefix (lower case) at text, in either case; advances text past it.
bool skipPrefix(const char*& text, const char* prefix) {
    const size_t length = strlen(prefix);
    if (_strnicmp(text, prefix, length) != 0)
        return false;
    text += length;
    return true;
}

// An open handle on directory that keeps it from being renamed, removed or replaced by a link while
// the drain works inside it (no delete sharing; reading its entries takes part in the sharing
// check, unlike an open for its attributes alone). INVALID_HANDLE_VALUE for a link (a junction, a
// symbolic link), which is never entered, and for anything else that is no directory.
HANDLE holdRealDirectory(const std::string& directory) {
    HANDLE handle = CreateFileA(directory.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return handle;
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

// The path by which the system reached what handle names, every link resolved; empty where the
// system cannot tell (before Vista, which has no symbolic links) or the answer does not fit.
std::wstring finalPath(HANDLE handle) {
    static const auto query = reinterpret_cast<FinalPathFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleW")));
    if (query == nullptr)
        return std::wstring();
    std::wstring path(kPathCapacity, L'\0');
    const DWORD length =
        query(handle, &path[0], static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    path.resize(length < path.size() ? length : 0);
    return path;
}

// Whether the file at path lies right inside the directory the system reaches as directoryFinal
// (finalPath), rather than being a link to a file elsewhere. On Windows such a link is a reparse
// point, which the caller sees in its attributes already; Wine shows a symbolic link to a file as
// the file itself, and deleting it deletes what it leads to: only the final path tells. True when
// there is nothing to compare (directoryFinal empty) or the file is gone.
bool fileLiesIn(const std::string& path, const std::wstring& directoryFinal) {
    if (directoryFinal.empty())
        return true;
    HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return true;
    const std::wstring reached = finalPath(file);
    CloseHandle(file);
    const size_t separator = reached.rfind(L'\\');
    return separator != std::wstring::npos && reached.compare(0, separator, directoryFinal) == 0 &&
           separator == directoryFinal.size();
}

// Removes everything inside directory. A junction or symbolic link, at the top or inside, is never
// entered: one inside is removed itself, so nothing outside the directory is touched. Stops early
// when the process ends.
void removeTree(const std::string& directory, int depth) {
    HANDLE held = holdRealDirectory(directory);
    if (held == INVALID_HANDLE_VALUE)
        return;
    const std::wstring heldFinal = finalPath(held);
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
        CloseHandle(held);
        return;
    }
    do {
        if (strcmp(data.cFileName, ".") == 0 || strcmp(data.cFileName, "..") == 0)
            continue;
        const std::string entry = directory + "\\" + data.cFileName;
        if (entry.size() >= kPathCapacity)
            continue;
        const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!link && (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
            SetFileAttributesA(entry.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            if (link || fileLiesIn(entry, heldFinal))
                DeleteFileA(entry.c_str());
            continue;
        }
        if (!link && depth < kTreeDepthLimit)
            removeTree(entry, depth + 1);
        RemoveDirectoryA(entry.c_str());
    } while (!drainStopRequested && FindNextFileA(search, &data));
    FindClose(search);
    CloseHandle(held);
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

// What one value's drain works with: the directories a launcher's entries lie in, and what it keeps.
struct ValueDrain {
    std::vector<std::string> temporaryDirectories;
    std::string kept;
};

// Any program of the user may write the queue: what no launcher queues is dropped untouched.
bool refuseForeign(const char* entry, bool directory, const ValueDrain& drain) {
    if (isLauncherEntry(entry, directory, drain.temporaryDirectories))
        return false;
    logLine("not deleting %s: no launcher queues it", entry);
    return true;
}

// The final path (finalPath) of the directory that holds entry; empty when it cannot be had.
std::wstring parentFinalPath(const char* entry) {
    const char* separator = strrchr(entry, '\\');
    if (separator == nullptr)
        return std::wstring();
    const std::string parent(entry, separator + 1);
    HANDLE directory = CreateFileA(parent.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE)
        return std::wstring();
    std::wstring reached = finalPath(directory);
    CloseHandle(directory);
    while (!reached.empty() && reached.back() == L'\\')
        reached.pop_back();
    return reached;
}

// A link would lead the drain elsewhere; a launcher queues none. True also for an entry of the wrong
// kind. A missing entry is not refused here.
bool refuseLink(const char* entry, bool directory) {
    const DWORD attributes = GetFileAttributesA(entry);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && isDirectory == directory &&
        (directory || fileLiesIn(entry, parentFinalPath(entry))))
        return false;
    logLine("not deleting %s: a link or not a %s", entry, directory ? "directory" : "file");
    return true;
}

void drainFileEntry(const char* entry, void* context) {
    auto* drain = static_cast<ValueDrain*>(context);
    std::string* kept = &drain->kept;
    if (drainStopRequested) {
        keepEntry(kept, entry);
        return;
    }
    if (refuseRelative(entry) || refuseForeign(entry, false, *drain) || refuseLink(entry, false))
        return;
    // Only a file nobody has open can be opened without sharing; a held file is left alone.
    HANDLE exclusive = CreateFileA(entry, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
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
    auto* drain = static_cast<ValueDrain*>(context);
    std::string* kept = &drain->kept;
    if (drainStopRequested) {
        keepEntry(kept, entry);
        return;
    }
    if (refuseRelative(entry) || refuseForeign(entry, true, *drain) || refuseLink(entry, true))
        return;
    if (directoryInUse(entry)) {
        logLine("in use, not deleting %s", entry);
        keepEntry(kept, entry);
        return;
    }
    removeTree(entry, 0);
    RemoveDirectoryA(entry);
    logLine("delete dir %s", entry);
    if (pathExists(entry)) {
        logLine("didn't delete %s", entry);
        keepEntry(kept, entry);
    }
}

bool cleanUpStopRequested() {
    return drainStopRequested;
}

unsigned __stdcall drainInBackground(void*) {
    drainDeletionQueue();
    // As with the queue: an elevated process would remove with an administrator's rights what the
    // user's programs can write; the next start without elevation does it.
    if (!runsElevated())
        removeUnusedCacheEntries(cleanUpStopRequested);
    return 0;
}

} // namespace

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
    // Elevated, the drain would remove with an administrator's rights whatever any program of the
    // user wrote into the queue. It leaves the queue to the next launcher started without
    // elevation: at this point it has queued nothing of its own but its log, which it holds open.
    if (runsElevated()) {
        logLine("deletion queue left alone: this process runs elevated");
        return;
    }
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

    ValueDrain fileDrain{possibleTempDirectories(), std::string()};
    forEachQueueEntry(files.c_str(), drainFileEntry, &fileDrain);
    std::string& keptFiles = fileDrain.kept;
    logLine("delete queue %s", directories.c_str());
    ValueDrain directoryDrain{fileDrain.temporaryDirectories, std::string()};
    forEachQueueEntry(directories.c_str(), drainDirectoryEntry, &directoryDrain);
    std::string& keptDirectories = directoryDrain.kept;

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

bool isLauncherLogName(const char* name) {
    return skipPrefix(name, "qvx_nlog_") && skipDigits(name, 8, true) && skipPrefix(name, "_") &&
           skipDigits(name, 8, true) && *name == '\0';
}

bool isExtractionDirectoryName(const char* directory) {
    const char* separator = strrchr(directory, '\\');
    const char* name = separator != nullptr ? separator + 1 : directory;
    return skipPrefix(name, "kqx") && skipDigits(name, 8, true) && skipPrefix(name, ".tmp_dir") &&
           skipDigits(name, 10, false) && *name == '\0';
}

bool isLauncherEntry(const char* entry, bool directory,
                     const std::vector<std::string>& temporaryDirectories) {
    // As the system writes it in full: no "." or ".." step, no forward or doubled slash, nothing
    // relative, no trailing dot or blank.
    char full[kPathCapacity];
    const DWORD length = GetFullPathNameA(entry, sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full || strcmp(full, entry) != 0)
        return false;
    const char* separator = strrchr(entry, '\\');
    if (separator == nullptr ||
        !(directory ? isExtractionDirectoryName(entry) : isLauncherLogName(separator + 1)))
        return false;
    // The parent with its backslash: "c:" alone would be the drive's current directory.
    const std::string parent(entry, separator + 1);
    for (const std::string& temporary : temporaryDirectories)
        if (sameDirectory(parent.c_str(), temporary.c_str()))
            return true;
    return false;
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
