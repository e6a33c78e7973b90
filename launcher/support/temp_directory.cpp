#include "support/temp_directory.h"

#include "support/errors.h"
#include "support/paths.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kTempDirectoryCapacity = 8192;

// base followed by suffix; false when that would not fit.
bool joinText(char* out, const char* base, const char* suffix) {
    size_t baseLength = strlen(base);
    size_t suffixLength = strlen(suffix);
    if (baseLength + suffixLength >= kTempDirectoryCapacity) {
        return false;
    }
    memcpy(out, base, baseLength);
    memcpy(out + baseLength, suffix, suffixLength + 1);
    return true;
}

// Takes base followed by suffix when that directory is writable; leaves out untouched otherwise.
bool takeIfWritable(char* out, const char* base, const char* suffix) {
    char candidate[kTempDirectoryCapacity];
    if (!joinText(candidate, base, suffix) || !isWritableDirectory(candidate)) {
        return false;
    }
    strcpy(out, candidate);
    return true;
}

// The fallback candidates in the order they are tried; an unknown (empty) Windows directory must
// not turn into "\temp" on the current drive. Those that would not fit are left out.
std::vector<std::string> fallbackCandidates(const char* windowsDirectory, const char* driveRoot) {
    const bool haveWindows = windowsDirectory[0] != '\0';
    const std::pair<const char*, const char*> parts[] = {
        {haveWindows ? windowsDirectory : nullptr, "\\temp"},
        {driveRoot, "temp"},
        {driveRoot, "tmp"},
        {haveWindows ? windowsDirectory : nullptr, ""},
    };
    std::vector<std::string> candidates;
    char candidate[kTempDirectoryCapacity];
    for (const auto& part : parts)
        if (part.first != nullptr && joinText(candidate, part.first, part.second))
            candidates.emplace_back(candidate);
    return candidates;
}

// The user's temporary directory (with its trailing backslash) in a form 8-bit calls open, or with
// "?" where it has characters the ANSI code page lacks and no short form. GetTempPathA would give
// best-fit look-alikes instead, naming a directory that does not exist.
void systemTempPath(char* out) {
    wchar_t wide[kTempDirectoryCapacity];
    DWORD length = GetTempPathW(kTempDirectoryCapacity, wide);
    if (length == 0 || length >= kTempDirectoryCapacity) {
        out[0] = '\0';
        return;
    }
    openableNarrowPath(wide, out, kTempDirectoryCapacity);
}

// The system's temporary path into systemTemp (kTempDirectoryCapacity bytes); true when the launcher
// writes into it: when its long form shows no character outside the ANSI code page.
bool systemTempPathUsable(char* systemTemp) {
    systemTempPath(systemTemp);
    char longTemp[kTempDirectoryCapacity];
    DWORD longLength = longPathName(systemTemp, longTemp, sizeof longTemp);
    const char* representable = longLength != 0 && longLength < sizeof longTemp ? longTemp : systemTemp;
    return strchr(representable, '?') == nullptr;
}

void windowsDirectoryOf(char* out, UINT capacity) {
    UINT length = GetWindowsDirectoryA(out, capacity);
    if (length == 0 || length >= capacity) {
        out[0] = '\0';
    }
}

} // namespace

bool isWritableDirectory(const char* directory) {
    char testDirectory[kTempDirectoryCapacity];
    int length = snprintf(testDirectory, sizeof testDirectory, "%s\\kqx_w_testdir", directory);
    if (length < 0 || static_cast<size_t>(length) >= sizeof testDirectory) {
        return false;
    }
    RemoveDirectoryA(testDirectory);
    if (!CreateDirectoryA(testDirectory, nullptr)) {
        return false;
    }
    bool writable = pathExists(testDirectory);
    RemoveDirectoryA(testDirectory);
    return writable;
}

bool findWritableTempDirectory(const char* windowsDirectory, const char* driveRoot, char* out) {
    for (const std::string& candidate : fallbackCandidates(windowsDirectory, driveRoot)) {
        if (takeIfWritable(out, candidate.c_str(), "")) {
            return true;
        }
    }
    char created[kTempDirectoryCapacity];
    if (!isWritableDirectory(driveRoot) || !joinText(created, driveRoot, "tmp")) {
        return false;
    }
    CreateDirectoryA(created, nullptr);
    return takeIfWritable(out, created, "");
}

void chooseTempDirectory(char* out) {
    char systemTemp[kTempDirectoryCapacity];
    // The long form shows whether the user's directory has characters outside the ANSI code page;
    // the short form the system returned still works with 8-bit calls and is kept when it can be.
    if (systemTempPathUsable(systemTemp)) {
        strcpy(out, systemTemp);
        return;
    }
    char windowsDirectory[MAX_PATH];
    windowsDirectoryOf(windowsDirectory, sizeof windowsDirectory);
    if (findWritableTempDirectory(windowsDirectory, "c:\\", out)) {
        return;
    }
    MessageBoxA(nullptr, "I am sorry, but you must be at least Poweruser to run this program.\n", "Error",
                MB_OK | MB_ICONERROR);
    exitLauncher(1);
}

std::vector<std::string> possibleTempDirectories() {
    char systemTemp[kTempDirectoryCapacity];
    const bool usable = systemTempPathUsable(systemTemp);
    std::vector<std::string> directories;
    if (systemTemp[0] != '\0')
        directories.emplace_back(systemTemp);
    if (!usable) {
        char windowsDirectory[MAX_PATH];
        windowsDirectoryOf(windowsDirectory, sizeof windowsDirectory);
        for (const std::string& candidate : fallbackCandidates(windowsDirectory, "c:\\"))
            directories.push_back(candidate);
    }
    return directories;
}

bool temporaryFileName(char* out) {
    char directory[kTempDirectoryCapacity];
    chooseTempDirectory(directory);
    return GetTempFileNameA(directory, "kqx", 0, out) != 0;
}

void processCommFileName(char* out, unsigned long processId) {
    char systemTemp[kTempDirectoryCapacity];
    systemTempPath(systemTemp);
    snprintf(out, kTempDirectoryCapacity, "%skqx_p%d.tmp", systemTemp, static_cast<int>(processId));
}
