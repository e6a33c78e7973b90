#include "support/deletion_queue.h"

#include "support/log.h"
#include "support/paths.h"
#include "support/registry_key.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kQueueKey = "SOFTWARE\\Morvane\\kestro\\temp\\";
constexpr const char* kFileValue = "delete_file";
constexpr const char* kDirectoryValue = "delete_dir";
constexpr size_t kQueueValueLimit = 32767;

std::vector<std::string>& pendingDirectories() {
    static std::vector<std::string> directories;
    return directories;
}

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

void drainFileEntry(const char* entry, void* context) {
    auto* kept = static_cast<std::string*>(context);
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
        kept->append(entry).append(";");
    }
}

void drainDirectoryEntry(const char* entry, void* context) {
    // A relative entry would act on whatever the current directory is.
    if (entry[0] == '.') {
        return;
    }
    auto* kept = static_cast<std::string*>(context);
    emptyDirectory(entry);
    RemoveDirectoryA(entry);
    logLine("delete dir %s", entry);
    if (pathExists(entry)) {
        logLine("didn't delete %s", entry);
        kept->append(entry).append(";");
    }
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

void queueDirectory(const char* directory) {
    queueForDeletion(directory, kDirectoryValue);
}

void queueForDeletion(const char* path, const char* valueName) {
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
    RegistryKey key;
    if (!key.open(HKEY_CURRENT_USER, kQueueKey, KEY_QUERY_VALUE | KEY_SET_VALUE)) {
        return;
    }
    std::string keptFiles;
    forEachQueueEntry(readWholeValue(key.get(), kFileValue).c_str(), drainFileEntry, &keptFiles);
    storeValue(key.get(), kFileValue, keptFiles.c_str());

    std::string directories = readWholeValue(key.get(), kDirectoryValue);
    logLine("delete queue %s", directories.c_str());
    std::string keptDirectories;
    forEachQueueEntry(directories.c_str(), drainDirectoryEntry, &keptDirectories);
    storeValue(key.get(), kDirectoryValue, keptDirectories.c_str());
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
