#include "win32_memory.h"

#include "support/deletion_queue.h"
#include "support/errors.h"
#include "support/library_search.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/temp_directory.h"

#include <windows.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace win32_memory {

const char* const kExecutable = "C:\\app\\launcher.exe";

namespace {

struct OpenFile {
    std::string path;
    int64_t position = 0;
    DWORD access = 0;
    DWORD share = 0;
    bool open = false;
};

std::vector<OpenFile> handles;

// Windows refuses an open that the handles already open on the file do not share, or that does
// not share what they are open for.
bool sharingAllows(const std::string& path, DWORD access, DWORD share) {
    const auto conflicts = [](DWORD wanted, DWORD shared) {
        return ((wanted & GENERIC_READ) != 0 && (shared & FILE_SHARE_READ) == 0) ||
               ((wanted & GENERIC_WRITE) != 0 && (shared & FILE_SHARE_WRITE) == 0);
    };
    for (const OpenFile& other : handles) {
        if (other.open && other.path == path &&
            (conflicts(access, other.share) || conflicts(other.access, share)))
            return false;
    }
    return true;
}

std::map<std::string, std::string> fileData;
std::set<std::string> directorySet;
size_t writesLeft = 0;
bool writesLimited = false;
DWORD lastError = 0;
int temporaryCount = 0;

std::string parentOf(const std::string& path) {
    const size_t separator = path.rfind('\\');
    return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

OpenFile* fileOf(HANDLE handle) {
    const uintptr_t index = reinterpret_cast<uintptr_t>(handle) - 1;
    if (index >= handles.size() || !handles[index].open || fileData.count(handles[index].path) == 0)
        return nullptr;
    return &handles[index];
}

BOOL fail(DWORD error) {
    lastError = error;
    return 0;
}

} // namespace

void reset(size_t writeLimit) {
    fileData.clear();
    directorySet = {"C:", "C:\\app", "C:\\tmp"};
    handles.clear();
    writesLimited = writeLimit != 0;
    writesLeft = writeLimit;
    lastError = 0;
    temporaryCount = 0;
}

void putFile(const std::string& path, const std::string& data) {
    fileData[path] = data;
}

const std::map<std::string, std::string>& files() {
    return fileData;
}

const std::set<std::string>& directories() {
    return directorySet;
}

size_t openHandles() {
    size_t count = 0;
    for (const OpenFile& file : handles)
        count += file.open ? 1 : 0;
    return count;
}

} // namespace win32_memory

using namespace win32_memory;

HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void*, DWORD disposition, DWORD, HANDLE) {
    const std::string name = path;
    if (!sharingAllows(name, access, share)) {
        lastError = 32; // ERROR_SHARING_VIOLATION
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS) {
        if (directorySet.count(parentOf(name)) == 0 || directorySet.count(name) != 0) {
            lastError = 3; // ERROR_PATH_NOT_FOUND
            return INVALID_HANDLE_VALUE;
        }
        fileData[name].clear();
    } else if (fileData.count(name) == 0) {
        lastError = 2; // ERROR_FILE_NOT_FOUND
        return INVALID_HANDLE_VALUE;
    }
    handles.push_back(OpenFile{name, 0, access, share, true});
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handles.size()));
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* read, void*) {
    OpenFile* file = fileOf(handle);
    if (file == nullptr)
        return fail(6); // ERROR_INVALID_HANDLE
    const std::string& data = fileData[file->path];
    const int64_t available = file->position < static_cast<int64_t>(data.size())
                                  ? static_cast<int64_t>(data.size()) - file->position
                                  : 0;
    const DWORD count = static_cast<int64_t>(size) < available ? size : static_cast<DWORD>(available);
    if (count > 0)
        std::memcpy(buffer, data.data() + file->position, count);
    file->position += count;
    *read = count;
    return 1;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD size, DWORD* written, void*) {
    OpenFile* file = fileOf(handle);
    *written = 0;
    if (file == nullptr || (file->access & GENERIC_WRITE) == 0)
        return fail(5); // ERROR_ACCESS_DENIED
    DWORD count = size;
    if (writesLimited && count > writesLeft)
        count = static_cast<DWORD>(writesLeft);
    std::string& data = fileData[file->path];
    if (static_cast<int64_t>(data.size()) < file->position + static_cast<int64_t>(count))
        data.resize(static_cast<size_t>(file->position) + count);
    if (count > 0)
        std::memcpy(&data[static_cast<size_t>(file->position)], buffer, count);
    file->position += count;
    *written = count;
    if (writesLimited)
        writesLeft -= count;
    return count == size ? 1 : fail(112); // ERROR_DISK_FULL
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, LARGE_INTEGER* position, DWORD method) {
    OpenFile* file = fileOf(handle);
    if (file == nullptr)
        return fail(6);
    int64_t base = 0;
    if (method == FILE_CURRENT)
        base = file->position;
    else if (method == FILE_END)
        base = static_cast<int64_t>(fileData[file->path].size());
    if (distance.QuadPart < -base || distance.QuadPart > INT64_MAX - base)
        return fail(131); // ERROR_NEGATIVE_SEEK
    file->position = base + distance.QuadPart;
    if (position != nullptr)
        position->QuadPart = file->position;
    return 1;
}

BOOL GetFileSizeEx(HANDLE handle, LARGE_INTEGER* size) {
    OpenFile* file = fileOf(handle);
    if (file == nullptr)
        return fail(6);
    size->QuadPart = static_cast<int64_t>(fileData[file->path].size());
    return 1;
}

// Files in memory have no times: every one answers the same, and setting one changes nothing.
BOOL GetFileTime(HANDLE handle, FILETIME* created, FILETIME* accessed, FILETIME* written) {
    if (fileOf(handle) == nullptr)
        return fail(6);
    for (FILETIME* time : {created, accessed, written})
        if (time != nullptr)
            *time = FILETIME{0, 0x01d00000};
    return 1;
}

BOOL SetFileTime(HANDLE handle, const FILETIME*, const FILETIME*, const FILETIME*) {
    return fileOf(handle) != nullptr ? 1 : fail(6);
}

BOOL CloseHandle(HANDLE handle) {
    const uintptr_t index = reinterpret_cast<uintptr_t>(handle) - 1;
    if (index >= handles.size() || !handles[index].open)
        return fail(6);
    handles[index].open = false;
    return 1;
}

// No handle here shares deletion.
BOOL DeleteFileA(const char* path) {
    for (const OpenFile& file : handles) {
        if (file.open && file.path == path)
            return fail(32);
    }
    return fileData.erase(path) != 0 ? 1 : fail(2);
}

BOOL CreateDirectoryA(const char* path, void*) {
    const std::string name = path;
    if (directorySet.count(parentOf(name)) == 0)
        return fail(3);
    if (directorySet.count(name) != 0 || fileData.count(name) != 0)
        return fail(183); // ERROR_ALREADY_EXISTS
    directorySet.insert(name);
    return 1;
}

BOOL RemoveDirectoryA(const char* path) {
    const std::string inside = std::string(path) + "\\";
    if (directorySet.count(path) == 0)
        return fail(2);
    for (const auto& [name, data] : fileData) {
        if (name.compare(0, inside.size(), inside) == 0)
            return fail(145); // ERROR_DIR_NOT_EMPTY
    }
    for (const std::string& name : directorySet) {
        if (name.compare(0, inside.size(), inside) == 0)
            return fail(145);
    }
    directorySet.erase(path);
    return 1;
}

DWORD GetLastError() {
    return lastError;
}

// Steps of 150 ms, so that the readers' paced progress reports happen now and then.
DWORD GetTickCount() {
    static DWORD now = 0;
    return now += 150;
}

DWORD GetCurrentDirectoryA(DWORD capacity, char* out) {
    if (getcwd(out, capacity) == nullptr)
        return 0;
    return static_cast<DWORD>(std::strlen(out));
}

LRESULT SendDlgItemMessageA(HWND, int, UINT, WPARAM, LPARAM) {
    return 0;
}

char* _itoa(int value, char* out, int) {
    std::sprintf(out, "%d", value);
    return out;
}

// The launcher's support functions, as far as the payload readers use them.

void fatalError(const char* text) {
    throw ProcessEnded{text};
}

void fatalMessage(int id, const char* argument) {
    throw ProcessEnded{"message " + std::to_string(id) + " " + (argument != nullptr ? argument : "")};
}

void useConsoleErrors() {}

void logLine(const char*, ...) {}

void logError(const char*, ...) {}

const char* executablePath() {
    return kExecutable;
}

bool isRelativePath(const char* path) {
    const size_t length = std::strlen(path);
    if (length <= 2)
        return true;
    return !(path[1] == ':' && path[2] == '\\') && std::strncmp(path, "\\\\", 2) != 0;
}

void emptyDirectory(const char* directory) {
    const std::string inside = std::string(directory) + "\\";
    for (auto file = fileData.begin(); file != fileData.end();) {
        const bool direct = file->first.compare(0, inside.size(), inside) == 0 &&
                            file->first.find('\\', inside.size()) == std::string::npos;
        file = direct ? fileData.erase(file) : std::next(file);
    }
}

bool temporaryFileName(char* out) {
    std::snprintf(out, MAX_PATH, "C:\\tmp\\kqx%x.tmp", ++temporaryCount);
    fileData[out].clear();
    return true;
}

void registerPendingDirectory(const char*) {}

void queueDirectory(const char*) {}

void searchForLibrariesIn(const char*) {}

bool markDirectoryInUse(const char* directory) {
    return directorySet.count(directory) != 0;
}

bool pathExists(const char* path) {
    return directorySet.count(path) != 0 || fileData.count(path) != 0;
}

void releaseDirectory(const char*) {}
