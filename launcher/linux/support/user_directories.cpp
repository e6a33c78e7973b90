#include "support/user_directories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// Makes path and the directories above it that are missing (a fresh account may not have its cache
// directory yet); new ones only the user may enter.
bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            return true;
    }
}

// A variable holding an absolute path; empty otherwise (a relative one names nothing dependable).
std::string absoluteVariable(const char* name) {
    const char* value = getenv(name);
    return value != nullptr && value[0] == '/' ? value : std::string();
}

} // namespace

bool ownPrivateDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != getuid())
        return false;
    // Ours, but opened up: closed again rather than trusted.
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && chmod(path.c_str(), 0700) != 0)
        return false;
    return true;
}

bool kestroCacheDirectory(std::string* out) {
    std::string base = absoluteVariable("XDG_CACHE_HOME");
    if (base.empty()) {
        const std::string home = absoluteVariable("HOME");
        if (home.empty())
            return false;
        base = home + "/.cache";
    }
    if (!makeDirectories(base))
        return false;
    *out = base + "/kestro";
    return ownPrivateDirectory(*out);
}

bool privateRuntimeDirectory(std::string* out) {
    const std::string runtime = absoluteVariable("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        *out = runtime + "/kestro";
        if (ownPrivateDirectory(*out))
            return true;
    }
    std::string temporary = absoluteVariable("TMPDIR");
    if (temporary.empty())
        temporary = "/tmp";
    *out = temporary + "/kestro-" + std::to_string(getuid());
    return ownPrivateDirectory(*out);
}

bool cacheRoom(const char* name, std::string* out) {
    std::string cache;
    if (!kestroCacheDirectory(&cache))
        return false;
    *out = cache + "/" + name;
    return ownPrivateDirectory(*out);
}
