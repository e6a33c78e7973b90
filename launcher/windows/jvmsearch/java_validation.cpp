#include "jvmsearch/java_validation.h"

#include "jvmsearch/jvm_library.h"
#include "jvmsearch/registry_jvms.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "runtime/version_rules.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/temp_directory.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

namespace config = kestro::payload::config;

constexpr DWORD kVersionRunTimeoutMs = 60000;
constexpr DWORD kStillRunning = 259;
// "-version" output is read by lines of at most this many bytes, the terminator included; a longer
// notice is skipped piece by piece.
constexpr int kVersionLineCapacity = 100;
// Written by the thread that searches, read by the one that builds the VM's options after it.
char lastAcceptedVersion[kVersionLineCapacity + 1] = "";
constexpr char kFailedRunVersion[] = "1.0.0";

bool recordFailedVersions = false;

class Handle {
  public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }
    void close() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
        handle_ = nullptr;
    }

  private:
    HANDLE handle_;
};

// Refuses (false, out empty) what does not fit whole.
bool joinWhole(char* out, const char* first, const char* second) {
    int written = snprintf(out, kPathCapacity, "%s%s", first, second);
    if (written < 0 || static_cast<size_t>(written) >= kPathCapacity) {
        out[0] = '\0';
        return false;
    }
    return true;
}

// A temporary file the child inherits as its standard error; none when either call fails.
HANDLE openInheritableTempFile(const char* name) {
    Handle file(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    HANDLE inheritable = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), file.get(), GetCurrentProcess(), &inheritable, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return inheritable;
}

// "\"<short path>\" -version", or the long path when there is no short form. Quoted either way: a
// volume without 8.3 names answers GetShortPathNameA with the long path itself, blanks included,
// and an unquoted "d:\my tools\jre\bin\java.exe" would start "d:\my.exe".
void versionCommandLine(const char* path, char* out, size_t capacity) {
    char shortPath[kPathCapacity];
    DWORD length = GetShortPathNameA(path, shortPath, kPathCapacity);
    const bool hasShortPath = length != 0 && length < kPathCapacity;
    snprintf(out, capacity, "\"%s\" -version", hasShortPath ? shortPath : path);
}

bool readVersionFromOutput(const char* fileName, char* version) {
    FILE* output = fopen(fileName, "r");
    if (output == nullptr) {
        return false;
    }
    char line[kVersionLineCapacity];
    bool found = false;
    while (fgets(line, sizeof line, output) != nullptr) {
        if (!isPickedUpOptionsNotice(line)) {
            found = parseVersionLine(line, version, kPathCapacity);
            break;
        }
        // The rest of a notice longer than the buffer.
        while (strchr(line, '\n') == nullptr && fgets(line, sizeof line, output) != nullptr) {
        }
    }
    fclose(output);
    if (found) {
        logLine("Java version: %s", version);
    }
    return found;
}

} // namespace

bool javaExeForHomeLayout(char* out, const char* home, bool jdkRequired) {
    char probe[kPathCapacity];
    if (!joinWhole(out, home, "\\jre\\bin\\java.exe")) {
        return false;
    }
    if (jdkRequired) {
        if (joinWhole(probe, home, "\\lib\\tools.jar") && pathExists(probe)) {
            return true;
        }
        // Since version 9 a JDK has neither tools.jar nor a JRE of its own; its compiler tells it apart.
        char jreDirectory[kPathCapacity];
        if (joinWhole(probe, home, "\\bin\\javac.exe") && pathExists(probe) &&
            joinWhole(jreDirectory, home, "\\jre") && !pathExists(jreDirectory)) {
            return joinWhole(out, home, "\\bin\\java.exe");
        }
        return false;
    }
    if (pathExists(out)) {
        return true;
    }
    return joinWhole(out, home, "\\bin\\java.exe");
}

bool javaExeForHome(char* out, const char* home) {
    return javaExeForHomeLayout(out, home, getConfigNumber(config::RequireJdk) != 0);
}

bool checkJavaExe(char* path, char* version, const char* minimum, const char* maximum, bool allowPrerelease) {
    logLine("checkJavaExe (%s, [out], %s, %s, %d)", path, minimum, maximum, allowPrerelease ? 1 : 0);
    char normalised[kPathCapacity];
    if (fullPath(normalised, path, false)) {
        strcpy(path, normalised);
    }
    version[0] = '\0';
    bool accepted = false;
    uint64_t stamp = 0;
    if (!findFile(path, &stamp)) {
        logLine("file doesn't exist");
    } else {
        logLine("file exists");
        if (!isRuntimeForThisMachine(path)) {
            // Whatever its version, its jvm.dll cannot be loaded into this process: the search goes
            // on to the next candidate instead of failing at the load.
        } else if (readCachedVersion(path, stamp, version)) {
            logLine("got version from registry %s", version);
            accepted = isVersionAcceptable(version, minimum, maximum, allowPrerelease);
        } else if (getVersionByExecution(path, stamp, version)) {
            logLine("got version from execution %s", version);
            writeCachedVersion(path, stamp, version);
            accepted = isVersionAcceptable(version, minimum, maximum, allowPrerelease);
        } else {
            logLine("couldn't get version");
        }
    }
    if (accepted)
        snprintf(lastAcceptedVersion, sizeof lastAcceptedVersion, "%s", version);
    if (accepted && getConfigNumber(config::ExecutableType) == 1) {
        // A GUI application runs without a console window: the runtime's javaw.exe.
        const size_t length = strlen(path);
        if (length < 4 || length + 1 >= kPathCapacity) {
            return false;
        }
        strcpy(path + length - 4, "w.exe");
        return pathExists(path);
    }
    logLine("checkJavaExe returning %d", accepted ? 1 : 0);
    return accepted;
}

bool checkJavaExe(char* path, const char* minimum, const char* maximum, bool allowPrerelease) {
    char version[kPathCapacity];
    return checkJavaExe(path, version, minimum, maximum, allowPrerelease);
}

const char* acceptedRuntimeVersion() {
    return lastAcceptedVersion;
}

bool getVersionByExecution(const char* path, uint64_t stamp, char* version) {
    version[0] = '\0';
    char commandLine[kPathCapacity + 16];
    versionCommandLine(path, commandLine, sizeof commandLine);
    char outputName[MAX_PATH + 1];
    if (!temporaryFileName(outputName)) {
        return false;
    }
    Handle output(openInheritableTempFile(outputName));
    if (output.get() == nullptr) {
        DeleteFileA(outputName);
        return false;
    }
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdError = output.get();
    PROCESS_INFORMATION child;
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                        &startup, &child)) {
        output.close();
        DeleteFileA(outputName);
        return false;
    }
    Handle process(child.hProcess);
    Handle thread(child.hThread);
    WaitForSingleObject(process.get(), kVersionRunTimeoutMs);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    logLine("Exit Code %d", static_cast<int>(exitCode));
    if (exitCode == kStillRunning) {
        logLine("Terminating process");
        TerminateProcess(process.get(), 1);
    } else if (exitCode != 0 && recordFailedVersions) {
        writeCachedVersion(path, stamp, kFailedRunVersion);
    }
    process.close();
    thread.close();
    output.close();
    bool found = exitCode == 0 && readVersionFromOutput(outputName, version);
    DeleteFileA(outputName);
    return found;
}

bool isVersionAcceptable(const char* version, const char* minimum, const char* maximum,
                         bool allowPrerelease) {
    if (!allowPrerelease && getConfigNumber(config::AllowPreRelease) == 0 && isPrereleaseVersion(version)) {
        logLine("beta vm not allowed");
        return false;
    }
    return isVersionWithinBounds(version, minimum, maximum);
}

void setRecordFailedVersions(bool on) {
    recordFailedVersions = on;
}
