#include "support/user_cache.h"

#include "support/deletion_queue.h"
#include "support/environment.h"
#include "support/log.h"
#include "support/paths.h"

#include <windows.h>

#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr char kCacheName[] = "Kestro";
constexpr size_t kEntryNameDigits = 20;
constexpr size_t kClassDataKeyDigits = 32;
constexpr uint64_t kFileTimeUnitsPerDay = 864000000000ULL;
// A directory being made is marked in use, except for the moment before it is moved into place;
// one left unmarked this long belongs to a start that was ended while making it.
constexpr uint64_t kAbandonedAfter = kFileTimeUnitsPerDay / 24;

using FolderPathFunction = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);

// The local application data folder: the variable every system since Vista sets, else the shell's
// answer (Windows 2000 and XP), looked up by name since older shells lack it.
std::wstring localApplicationData() {
    std::wstring folder = environmentVariable(L"LOCALAPPDATA");
    if (!folder.empty())
        return folder;
    HMODULE shell = LoadLibraryA("shell32.dll");
    const auto folderPath = shell != nullptr ? reinterpret_cast<FolderPathFunction>(reinterpret_cast<void*>(
                                                   GetProcAddress(shell, "SHGetFolderPathW")))
                                             : nullptr;
    wchar_t path[MAX_PATH];
    if (folderPath != nullptr && SUCCEEDED(folderPath(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, path)))
        folder = path;
    return folder;
}

uint64_t asNumber(const FILETIME& time) {
    return uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

uint64_t now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return asNumber(time);
}

bool hexDigits(const char* text, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (!isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// "<entry><suffix><decimal digits>"
bool entryWithSuffix(const char* name, const char* suffix) {
    const size_t suffixLength = strlen(suffix);
    if (strlen(name) <= kEntryNameDigits + suffixLength || !hexDigits(name, kEntryNameDigits) ||
        strncmp(name + kEntryNameDigits, suffix, suffixLength) != 0)
        return false;
    for (const char* digit = name + kEntryNameDigits + suffixLength; *digit != '\0'; ++digit)
        if (!isdigit(static_cast<unsigned char>(*digit)))
            return false;
    return true;
}

bool isLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A runtime entry goes by being renamed away first: that fails while anything inside it is open
// (a loaded jvm.dll, a held mark), and once renamed no start finds it any more.
void removeRuntimeDirectory(const std::string& room, const char* name, const char* why) {
    const std::string directory = room + "\\" + name;
    if (directoryInUse(directory.c_str())) {
        logLine("in use, not deleting %s", directory.c_str());
        return;
    }
    std::string removing = directory;
    if (classifyRuntimeRoomName(name) != RuntimeRoomName::BeingRemoved) {
        removing = room + "\\" + std::string(name, kEntryNameDigits) + ".old" +
                   std::to_string(GetCurrentProcessId());
        if (!MoveFileA(directory.c_str(), removing.c_str())) {
            logLine("didn't delete %s", directory.c_str());
            return;
        }
    }
    removeDirectoryTree(removing.c_str());
    logLine("delete %s runtime %s", why, directory.c_str());
}

// What room holds, read whole before anything in it is removed. Links are left out: a launcher makes
// none here, and none is ever followed or removed.
std::vector<WIN32_FIND_DATAA> entriesOf(const std::string& room) {
    std::vector<WIN32_FIND_DATAA> entries;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((room + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return entries;
    do {
        if (!isLink(data.dwFileAttributes) && strcmp(data.cFileName, ".") != 0 &&
            strcmp(data.cFileName, "..") != 0)
            entries.push_back(data);
    } while (FindNextFileA(search, &data));
    FindClose(search);
    return entries;
}

void cleanRuntimeRoom(const std::string& room, bool (*stop)()) {
    const uint64_t time = now();
    for (const WIN32_FIND_DATAA& data : entriesOf(room)) {
        if (stop())
            return;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            continue;
        const uint64_t lastUse = asNumber(data.ftLastWriteTime);
        switch (classifyRuntimeRoomName(data.cFileName)) {
        case RuntimeRoomName::Entry:
            if (unusedFor(lastUse, time, kUnusedCacheDays))
                removeRuntimeDirectory(room, data.cFileName, "unused");
            break;
        case RuntimeRoomName::BeingMade:
            if (time > lastUse && time - lastUse > kAbandonedAfter)
                removeRuntimeDirectory(room, data.cFileName, "abandoned");
            break;
        case RuntimeRoomName::BeingRemoved:
            removeRuntimeDirectory(room, data.cFileName, "abandoned");
            break;
        case RuntimeRoomName::Foreign:
            break;
        }
    }
}

// An archive the runtime has mapped cannot be deleted: the system refuses while it is in use.
void cleanClassDataRoom(const std::string& room, bool (*stop)()) {
    const uint64_t time = now();
    for (const WIN32_FIND_DATAA& data : entriesOf(room)) {
        if (stop())
            return;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            !isClassDataArchiveName(data.cFileName) ||
            !unusedFor(asNumber(data.ftLastWriteTime), time, kUnusedCacheDays))
            continue;
        const std::string file = room + "\\" + data.cFileName;
        if (DeleteFileA(file.c_str()))
            logLine("delete unused class data %s", file.c_str());
        else
            logLine("didn't delete %s", file.c_str());
    }
}

// The cache's directory without creating it; false when it has no 8-bit form.
bool cacheDirectory(char* out) {
    const std::wstring folder = localApplicationData();
    char narrow[kPathCapacity];
    if (folder.empty() || !openableNarrowPath(folder.c_str(), narrow, sizeof narrow))
        return false;
    const int length = snprintf(out, kPathCapacity, "%s\\%s", narrow, kCacheName);
    return length > 0 && static_cast<size_t>(length) < kPathCapacity;
}

} // namespace

bool userCacheRoom(const char* room, char* out) {
    char cache[kPathCapacity];
    if (!cacheDirectory(cache))
        return false;
    CreateDirectoryA(cache, nullptr);
    snprintf(out, kPathCapacity, "%s\\%s", cache, room);
    CreateDirectoryA(out, nullptr);
    const DWORD attributes = GetFileAttributesA(out);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !isLink(attributes);
}

void recordCacheUse(const char* path) {
    // Directories open only with backup semantics; the attributes are all that is written.
    HANDLE handle =
        CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    SetFileTime(handle, nullptr, nullptr, &time);
    CloseHandle(handle);
}

void removeUnusedCacheEntries(bool (*stop)()) {
    char cache[kPathCapacity];
    if (!cacheDirectory(cache))
        return;
    const std::string root = cache;
    const DWORD attributes = GetFileAttributesA(cache);
    if (attributes == INVALID_FILE_ATTRIBUTES || isLink(attributes))
        return;
    for (const char* room : {kRuntimeRoom, kClassDataRoom}) {
        const std::string path = root + "\\" + room;
        const DWORD roomAttributes = GetFileAttributesA(path.c_str());
        if (roomAttributes == INVALID_FILE_ATTRIBUTES || isLink(roomAttributes) || stop())
            continue;
        if (strcmp(room, kRuntimeRoom) == 0)
            cleanRuntimeRoom(path, stop);
        else
            cleanClassDataRoom(path, stop);
    }
    logLine("user cache cleaned");
}

std::string runtimeEntryName(const char* digest) {
    if (strlen(digest) != 64 || !hexDigits(digest, 64))
        return std::string();
    std::string name(digest, kEntryNameDigits);
    for (char& c : name)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return name;
}

RuntimeRoomName classifyRuntimeRoomName(const char* name) {
    if (strlen(name) == kEntryNameDigits && hexDigits(name, kEntryNameDigits))
        return RuntimeRoomName::Entry;
    if (entryWithSuffix(name, ".new"))
        return RuntimeRoomName::BeingMade;
    if (entryWithSuffix(name, ".old"))
        return RuntimeRoomName::BeingRemoved;
    return RuntimeRoomName::Foreign;
}

bool isClassDataArchiveName(const char* name) {
    if (strlen(name) <= kClassDataKeyDigits || !hexDigits(name, kClassDataKeyDigits))
        return false;
    const char* extension = name + kClassDataKeyDigits;
    return strcmp(extension, ".jsa") == 0 || strcmp(extension, ".aot") == 0 ||
           strcmp(extension, ".aot.config") == 0;
}

bool unusedFor(uint64_t lastUse, uint64_t now, int days) {
    return now > lastUse && now - lastUse > static_cast<uint64_t>(days) * kFileTimeUnitsPerDay;
}
