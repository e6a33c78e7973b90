#include "jvmsearch/registry_jvms.h"

#include "jvmsearch/java_validation.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "runtime/version_rules.h"
#include "support/paths.h"
#include "support/registry_key.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace config = kestro::payload::config;

constexpr char kVersionCachePrefix[] = "SOFTWARE\\Morvane\\kestro\\jvms\\";
constexpr char kLocatedListKey[] = "SOFTWARE\\Morvane\\kestro\\locatedjvms";
constexpr char kLocatedListPrefix[] = "SOFTWARE\\Morvane\\kestro\\locatedjvms\\";
constexpr char kJreKey[] = "SOFTWARE\\JavaSoft\\Java Runtime Environment";
constexpr char kJdkKey[] = "SOFTWARE\\JavaSoft\\Java Development Kit";
constexpr DWORD kCurrentVersionCapacity = 100;
constexpr size_t kKeyNameCapacity = kPathCapacity + 64;

// The stamp as Windows keeps a FILETIME: low half first, each half little-endian.
void stampBytes(uint64_t stamp, BYTE out[8]) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<BYTE>(stamp >> (8 * i));
    }
}

// The whole buffer takes the value, its terminating zero included. A stored text need not carry
// that zero: one is added after it when there is room; a text without one that fills the buffer is
// refused rather than cut.
bool queryText(HKEY key, const char* name, char* buffer, DWORD capacity) {
    DWORD size = capacity;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        (size == capacity && buffer[size - 1] != '\0')) {
        buffer[0] = '\0';
        return false;
    }
    if (size < capacity) {
        buffer[size] = '\0';
    }
    return true;
}

// JavaHome of the key, through the layout rule to a checked executable.
bool checkRegisteredHome(const char* key, char* path, char* version, const char* minimum,
                         const char* maximum) {
    char home[kPathCapacity];
    DWORD size = kPathCapacity;
    if (!readRegistryString(HKEY_LOCAL_MACHINE, key, "JavaHome", home, &size)) {
        return false;
    }
    return javaExeForHome(path, home) && checkJavaExe(path, version, minimum, maximum, false);
}

// The vendor key's CurrentVersion when it passes the bounds, else the empty text.
void currentVersionInRange(const char* vendorKey, char* out, const char* minimum, const char* maximum) {
    DWORD size = kCurrentVersionCapacity;
    if (!readRegistryString(HKEY_LOCAL_MACHINE, vendorKey, "CurrentVersion", out, &size) ||
        !isVersionKeyInRange(out, minimum, maximum)) {
        out[0] = '\0';
    }
}

bool findCurrentJvm(char* path, char* version, const char* minimum, const char* maximum) {
    char jdkVersion[kCurrentVersionCapacity];
    char jreVersion[kCurrentVersionCapacity] = "";
    currentVersionInRange(kJdkKey, jdkVersion, minimum, maximum);
    if (getConfigNumber(config::RequireJdk) == 0) {
        currentVersionInRange(kJreKey, jreVersion, minimum, maximum);
    }
    const bool jdkIsNewer = compareVersions(jdkVersion, jreVersion) > 0;
    std::string key =
        std::string(jdkIsNewer ? kJdkKey : kJreKey) + "\\" + (jdkIsNewer ? jdkVersion : jreVersion);
    return checkRegisteredHome(key.c_str(), path, version, minimum, maximum);
}

bool findNewestRegisteredJvm(const char* vendorKey, char* path, char* version, const char* minimum,
                             const char* maximum) {
    RegistryKey vendor;
    if (!vendor.open(HKEY_LOCAL_MACHINE, vendorKey)) {
        return false;
    }
    std::vector<std::string> versions = subKeyNames(vendor.get());
    versions.erase(std::remove_if(versions.begin(), versions.end(),
                                  [&](const std::string& name) {
                                      return !isVersionKeyInRange(name.c_str(), minimum, maximum);
                                  }),
                   versions.end());
    std::sort(versions.begin(), versions.end(), [](const std::string& a, const std::string& b) {
        return compareVersions(a.c_str(), b.c_str()) < 0;
    });
    for (auto newest = versions.rbegin(); newest != versions.rend(); ++newest) {
        std::string key = std::string(vendorKey) + "\\" + *newest;
        if (checkRegisteredHome(key.c_str(), path, version, minimum, maximum)) {
            return true;
        }
    }
    return false;
}

bool findLocatedJvmIn(HKEY root, char* path, char* version, const char* minimum, const char* maximum) {
    version[0] = '\0';
    RegistryKey list;
    if (!list.open(root, kLocatedListKey)) {
        return false;
    }
    bool found = false;
    char candidate[kPathCapacity];
    char candidateVersion[kPathCapacity];
    for (const std::string& name : subKeyNames(list.get())) {
        std::replace_copy(name.c_str(), name.c_str() + name.size() + 1, candidate, '/', '\\');
        if (checkJavaExe(candidate, candidateVersion, minimum, maximum, true) &&
            compareVersions(candidateVersion, version) > 0) {
            strcpy(path, candidate);
            strcpy(version, candidateVersion);
            found = true;
        }
    }
    return found;
}

} // namespace

bool registryKeyName(char* out, size_t capacity, const char* prefix, const char* path) {
    const size_t prefixLength = strlen(prefix);
    const size_t pathLength = strlen(path);
    if (prefixLength + pathLength >= capacity) {
        out[0] = '\0';
        return false;
    }
    memcpy(out, prefix, prefixLength);
    std::replace_copy(path, path + pathLength + 1, out + prefixLength, '\\', '/');
    return true;
}

bool readCachedVersion(const char* path, uint64_t stamp, char* version) {
    char keyName[kKeyNameCapacity];
    RegistryKey entry;
    if (!registryKeyName(keyName, sizeof keyName, kVersionCachePrefix, path) ||
        !entry.open(HKEY_CURRENT_USER, keyName)) {
        return false;
    }
    BYTE stored[8];
    DWORD size = sizeof stored;
    DWORD type = 0;
    BYTE expected[8];
    stampBytes(stamp, expected);
    if (RegQueryValueExA(entry.get(), "LastWriteTime", nullptr, &type, stored, &size) != ERROR_SUCCESS ||
        size != sizeof stored || memcmp(stored, expected, sizeof stored) != 0) {
        return false;
    }
    return queryText(entry.get(), "Version", version, kPathCapacity);
}

void writeCachedVersion(const char* path, uint64_t stamp, const char* version) {
    char keyName[kKeyNameCapacity];
    RegistryKey entry;
    if (!registryKeyName(keyName, sizeof keyName, kVersionCachePrefix, path) ||
        !entry.create(HKEY_CURRENT_USER, keyName)) {
        return;
    }
    BYTE bytes[8];
    stampBytes(stamp, bytes);
    RegSetValueExA(entry.get(), "LastWriteTime", 0, REG_BINARY, bytes, sizeof bytes);
    RegSetValueExA(entry.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   static_cast<DWORD>(strlen(version) + 1));
}

void recordLocatedJvm(const char* path) {
    char keyName[kKeyNameCapacity];
    if (!registryKeyName(keyName, sizeof keyName, kLocatedListPrefix, path)) {
        return;
    }
    RegistryKey entry;
    if (!entry.create(HKEY_LOCAL_MACHINE, keyName)) {
        RegistryKey perUser;
        perUser.create(HKEY_CURRENT_USER, keyName);
    }
}

bool findRegistryJvm(char* path, const char* minimum, const char* maximum) {
    char registeredPath[kPathCapacity];
    char registeredVersion[kPathCapacity];
    setRecordFailedVersions(true);
    const bool registered = findRegisteredJvm(registeredPath, registeredVersion, minimum, maximum);
    setRecordFailedVersions(false);
    char locatedPath[kPathCapacity];
    char locatedVersion[kPathCapacity];
    const bool located = findLocatedJvm(locatedPath, locatedVersion, minimum, maximum);
    if (registered && (!located || compareVersions(registeredVersion, locatedVersion) > 0)) {
        strcpy(path, registeredPath);
        return true;
    }
    if (located) {
        strcpy(path, locatedPath);
    }
    return located;
}

bool findRegisteredJvm(char* path, char* version, const char* minimum, const char* maximum) {
    return findCurrentJvm(path, version, minimum, maximum) ||
           (getConfigNumber(config::RequireJdk) == 0 &&
            findNewestRegisteredJvm(kJreKey, path, version, minimum, maximum)) ||
           findNewestRegisteredJvm(kJdkKey, path, version, minimum, maximum);
}

bool findLocatedJvm(char* path, char* version, const char* minimum, const char* maximum) {
    char userPath[kPathCapacity];
    char userVersion[kPathCapacity];
    char machinePath[kPathCapacity];
    char machineVersion[kPathCapacity];
    const bool user = findLocatedJvmIn(HKEY_CURRENT_USER, userPath, userVersion, minimum, maximum);
    const bool machine = findLocatedJvmIn(HKEY_LOCAL_MACHINE, machinePath, machineVersion, minimum, maximum);
    const bool takeUser = user && (!machine || compareVersions(userVersion, machineVersion) > 0);
    if (!takeUser && !machine) {
        return false;
    }
    strcpy(path, takeUser ? userPath : machinePath);
    strcpy(version, takeUser ? userVersion : machineVersion);
    return true;
}

std::vector<std::string> subKeyNames(HKEY key) {
    std::vector<std::string> names;
    char name[kPathCapacity];
    for (DWORD index = 0;; ++index) {
        DWORD length = kPathCapacity;
        const LONG result = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_SUCCESS) {
            names.emplace_back(name, length);
        } else if (result != ERROR_MORE_DATA) {
            // The end of the list, or a key that is gone: a deleted key answers ERROR_KEY_DELETED
            // for every index, which a loop waiting for ERROR_NO_MORE_ITEMS would never leave.
            return names;
        }
    }
}

bool readRegistryString(HKEY root, const char* key, const char* name, char* buffer, DWORD* size) {
    RegistryKey opened;
    if (*size == 0 || !opened.open(root, key) || !queryText(opened.get(), name, buffer, *size)) {
        if (*size != 0) {
            buffer[0] = '\0';
        }
        return false;
    }
    *size = static_cast<DWORD>(strlen(buffer) + 1);
    return true;
}
