// Paths on Linux: UTF-8, '/' between steps; relative configured paths are taken from the
// executable's directory, as on Windows.
#include "support/file_system.h"

#include "support/log.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string ownExecutable() {
    char path[kPathCapacity];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return std::string();
    path[length] = '\0';
    return path;
}

// Steps joined by one '/', without "." steps, ".." taking the step before it away (never above the
// root). Links are not resolved, as the system's full path of a name does not resolve them.
std::string normalised(const std::string& path) {
    std::vector<std::string> steps;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string step = path.substr(start, end - start);
        start = end + 1;
        if (step.empty() || step == ".")
            continue;
        if (step == "..") {
            if (!steps.empty())
                steps.pop_back();
            continue;
        }
        steps.push_back(step);
    }
    std::string joined;
    for (const std::string& step : steps)
        joined += "/" + step;
    return joined.empty() ? "/" : joined;
}

bool copyOut(char* out, const std::string& text) {
    if (text.size() >= kPathCapacity) {
        out[0] = '\0';
        return false;
    }
    memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

bool endsWithExtension(const char* name, const std::string& extension) {
    const size_t length = strlen(name);
    return length > extension.size() && name[length - extension.size() - 1] == '.' &&
           strcmp(name + length - extension.size(), extension.c_str()) == 0;
}

} // namespace

const char* executablePath() {
    static const std::string path = ownExecutable();
    return path.c_str();
}

const char* executableDirectory() {
    static const std::string directory = [] {
        const std::string path = executablePath();
        return path.substr(0, path.rfind('/') + 1);
    }();
    return directory.c_str();
}

bool makeAbsolute(char* out, const char* path) {
    std::string absolute = isRelativePath(path) ? std::string(executableDirectory()) + path : path;
    // One '/' between steps, as the Windows side collapses its backslashes.
    absolute.erase(
        std::unique(absolute.begin(), absolute.end(), [](char a, char b) { return a == '/' && b == '/'; }),
        absolute.end());
    return copyOut(out, absolute);
}

bool fullPath(char* out, const char* path, bool) {
    char absolute[kPathCapacity];
    if (!makeAbsolute(absolute, path)) {
        out[0] = '\0';
        return false;
    }
    return copyOut(out, normalised(absolute));
}

bool isRelativePath(const char* path) {
    return path[0] != '/';
}

bool pathExists(const char* path) {
    struct stat status {};
    return stat(path, &status) == 0;
}

bool isDirectory(const char* path) {
    struct stat status {};
    return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

bool isInsideDirectory(const char* path, const char* directory) {
    const size_t length = strlen(directory);
    return length > 0 && strncmp(path, directory, length) == 0 && path[length] == '/';
}

bool makeDirectory(const char* path) {
    return mkdir(path, 0755) == 0;
}

bool changeDirectory(const char* path) {
    return chdir(path) == 0;
}

bool currentDirectory(char* out, size_t capacity) {
    return getcwd(out, capacity) != nullptr;
}

void markExecutable(const char* path) {
    struct stat status {};
    if (stat(path, &status) == 0)
        chmod(path, (status.st_mode & 07777) | S_IXUSR | S_IXGRP | S_IXOTH);
}

void emptyDirectory(const char* directory) {
    if (directory[0] == '\0' || directory[0] == '.')
        return;
    DIR* listing = opendir(directory);
    if (listing == nullptr)
        return;
    logLine("emptying %s", directory);
    while (const dirent* entry = readdir(listing)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        const std::string path = std::string(directory) + "/" + entry->d_name;
        if (path.size() >= kPathCapacity)
            continue;
        struct stat status {};
        const bool directoryEntry = lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
        const bool removed = directoryEntry ? rmdir(path.c_str()) == 0 : unlink(path.c_str()) == 0;
        logLine("%s %s", removed ? "deleted" : "could not delete", path.c_str());
    }
    closedir(listing);
}

// In name order: a directory's listing order on Linux depends on its file system.
int listFiles(const char* directory, const char* extension, char*** names) {
    const std::string wanted = extension[0] == '.' ? extension + 1 : extension;
    if (strlen(directory) + wanted.size() + 4 >= kPathCapacity)
        return 0;
    DIR* listing = opendir(directory);
    if (listing == nullptr)
        return 0;
    std::vector<std::string> found;
    while (const dirent* entry = readdir(listing)) {
        if (endsWithExtension(entry->d_name, wanted))
            found.emplace_back(entry->d_name);
    }
    closedir(listing);
    if (found.empty())
        return 0;
    std::sort(found.begin(), found.end());
    *names = new char*[found.size()];
    for (size_t i = 0; i < found.size(); ++i) {
        (*names)[i] = new char[found[i].size() + 1];
        memcpy((*names)[i], found[i].c_str(), found[i].size() + 1);
    }
    return static_cast<int>(found.size());
}

void freeFileList(char** names, int count) {
    for (int i = 0; i < count; ++i)
        delete[] names[i];
    delete[] names;
}
