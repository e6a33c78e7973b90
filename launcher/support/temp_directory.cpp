#include "support/temp_directory.h"

#include "support/errors.h"
#include "support/paths.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

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
    // An unknown Windows directory must not turn into "\temp" on the current drive.
    bool haveWindows = windowsDirectory[0] != '\0';
    if ((haveWindows && takeIfWritable(out, windowsDirectory, "\\temp")) ||
        takeIfWritable(out, driveRoot, "temp") || takeIfWritable(out, driveRoot, "tmp") ||
        (haveWindows && takeIfWritable(out, windowsDirectory, ""))) {
        return true;
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
    systemTempPath(systemTemp);
    char longTemp[kTempDirectoryCapacity];
    DWORD longLength = longPathName(systemTemp, longTemp, sizeof longTemp);
    const char* representable = longLength != 0 && longLength < sizeof longTemp ? longTemp : systemTemp;
    // The long form shows whether the user's directory has characters outside the ANSI code page;
    // the short form the system returned still works with 8-bit calls and is kept when it can be.
    if (strchr(representable, '?') == nullptr) {
        strcpy(out, systemTemp);
        return;
    }
    char windowsDirectory[MAX_PATH];
    UINT windowsLength = GetWindowsDirectoryA(windowsDirectory, sizeof windowsDirectory);
    if (windowsLength == 0 || windowsLength >= sizeof windowsDirectory) {
        windowsDirectory[0] = '\0';
    }
    if (findWritableTempDirectory(windowsDirectory, "c:\\", out)) {
        return;
    }
    MessageBoxA(nullptr, "I am sorry, but you must be at least Poweruser to run this program.\n", "Error",
                MB_OK | MB_ICONERROR);
    exitLauncher(1);
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
