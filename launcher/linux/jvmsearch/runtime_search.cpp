#include "jvmsearch/runtime_search.h"

#include "elf/elf_image.h"
#include "launch/class_data_archive.h"
#include "launch/class_data_sharing.h"
#include "launch/variable_expansion.h"
#include "launch/vm_state.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "runtime/version_rules.h"
#include "support/file_system.h"
#include "support/log.h"
#include "support/user_directories.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace config = kestro::payload::config;

constexpr const char* kSystemRuntimeFolders = "/usr/lib/jvm:/usr/java";
// For the scenario tests only: the folders searched instead of the system's.
constexpr char kTestFoldersVariable[] = "KESTRO_TEST_RUNTIME_FOLDERS";
constexpr char kVersionCacheName[] = "java-versions";
constexpr int kVersionTimeoutMs = 60 * 1000;

std::string acceptedVersion;

std::string configText(int id) {
    char text[kTextCapacity];
    getConfigText(id, text, sizeof text);
    return text;
}

std::string resolved(const std::string& path) {
    char real[kPathCapacity];
    return realpath(path.c_str(), real) != nullptr ? real : std::string();
}

bool isFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// A 64-bit ELF library for this launcher's machine.
bool libraryForThisMachine(const std::string& path) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    std::string head(kestro::elf::kFileHeaderSize, '\0');
    const bool read = ::read(file, &head[0], head.size()) == static_cast<ssize_t>(head.size());
    close(file);
    kestro::elf::Headers headers;
    std::string why;
    return read && kestro::elf::readHeaders(head, &headers, &why) &&
           headers.machine == kestro::elf::kMachineX86_64;
}

// The library the runtime at home would be loaded from; empty when it has none.
std::string jvmLibrary(const std::string& home) {
    std::vector<std::string> places;
    const std::string variant = configText(config::PreferredJvmVariant);
    if (!variant.empty())
        places.push_back("lib/" + variant + "/libjvm.so");
    places.insert(places.end(),
                  {"lib/server/libjvm.so", "lib/amd64/server/libjvm.so", "jre/lib/amd64/server/libjvm.so"});
    for (const std::string& place : places) {
        const std::string library = home + "/" + place;
        if (isFile(library))
            return library;
    }
    return std::string();
}

// "<nanoseconds of the time> <size> <path>" of an executable: its key in the version cache.
std::string versionCacheKey(const std::string& executable) {
    struct stat status {};
    if (stat(executable.c_str(), &status) != 0)
        return std::string();
    return std::to_string(static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL +
                          status.st_mtim.tv_nsec) +
           " " + std::to_string(static_cast<long long>(status.st_size)) + " " + executable;
}

std::string cachedVersion(const std::string& key) {
    std::string cache;
    if (!kestroCacheDirectory(&cache))
        return std::string();
    FILE* file = fopen((cache + "/" + kVersionCacheName).c_str(), "re");
    if (file == nullptr)
        return std::string();
    std::string found;
    char line[kPathCapacity];
    while (fgets(line, sizeof line, file) != nullptr) {
        std::string text = line;
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        const size_t tab = text.rfind('\t');
        // The last line of a key counts: an executable replaced in place gets a line of its own.
        if (tab != std::string::npos && text.compare(0, tab, key) == 0 && tab == key.size())
            found = text.substr(tab + 1);
    }
    fclose(file);
    return found;
}

void cacheVersion(const std::string& key, const std::string& version) {
    std::string cache;
    if (!kestroCacheDirectory(&cache))
        return;
    // One write of one line in append mode: lines of two launchers at once do not mix.
    const std::string line = key + "\t" + version + "\n";
    const int file =
        open((cache + "/" + kVersionCacheName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (file < 0)
        return;
    if (write(file, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        logError("could not cache the version of %s", key.c_str());
    close(file);
}

// Runs "<executable> -version" with its standard error read through a pipe, for at most a minute.
std::string versionByExecution(const std::string& executable) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return std::string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    char* arguments[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("-version"), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawn(&child, executable.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    std::string output;
    if (spawned == 0) {
        pollfd reading{pipeEnds[0], POLLIN, 0};
        for (int waited = 0; output.size() < 65536;) {
            const int ready = poll(&reading, 1, 100);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0 && (waited += 100) >= kVersionTimeoutMs) {
                kill(child, SIGKILL);
                break;
            }
            if (ready == 0)
                continue;
            char chunk[4096];
            const ssize_t got = read(pipeEnds[0], chunk, sizeof chunk);
            if (got <= 0)
                break;
            output.append(chunk, static_cast<size_t>(got));
        }
    }
    close(pipeEnds[0]);
    int status = 0;
    if (spawned == 0)
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        logLine("%s -version failed", executable.c_str());
        return std::string();
    }
    return versionFromOutput(output);
}

// From the release file, else from running java -version (cached).
std::string runtimeVersion(const std::string& home) {
    const std::string fromRelease = releaseVersion(readReleaseFile(home.c_str()));
    if (!fromRelease.empty())
        return fromRelease;
    const std::string executable = resolved(home + "/bin/java");
    const std::string key = executable.empty() ? std::string() : versionCacheKey(executable);
    if (key.empty())
        return std::string();
    std::string version = cachedVersion(key);
    if (!version.empty()) {
        logLine("version of %s from the cache: %s", executable.c_str(), version.c_str());
        return version;
    }
    version = versionByExecution(executable);
    if (!version.empty())
        cacheVersion(key, version);
    return version;
}

bool versionAccepted(const std::string& version) {
    if (version.empty())
        return false;
    if (isPrereleaseVersion(version.c_str()) && getConfigNumber(config::AllowPreRelease) == 0) {
        logLine("beta vm not allowed");
        return false;
    }
    return isVersionWithinBounds(version.c_str(), configText(config::MinimumVersion).c_str(),
                                 configText(config::MaximumVersion).c_str());
}

// "java" in the directories of PATH, its links resolved; empty when there is none.
std::string javaOnPath() {
    const char* path = getenv("PATH");
    std::string list = path != nullptr ? path : "";
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string directory = list.substr(start, end - start);
        start = end + 1;
        const std::string candidate = (directory.empty() ? "." : directory) + "/java";
        if (access(candidate.c_str(), X_OK) == 0 && isFile(candidate))
            return resolved(candidate);
    }
    return std::string();
}

std::vector<std::string> systemRuntimeHomes() {
    const char* testFolders = getenv(kTestFoldersVariable);
    const std::string folders = testFolders != nullptr ? testFolders : kSystemRuntimeFolders;
    std::vector<std::string> homes;
    for (size_t start = 0; start < folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string folder = folders.substr(start, end - start);
        start = end + 1;
        DIR* listing = opendir(folder.c_str());
        if (listing == nullptr)
            continue;
        std::vector<std::string> names;
        while (const dirent* entry = readdir(listing))
            if (entry->d_name[0] != '.')
                names.emplace_back(entry->d_name);
        closedir(listing);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names)
            homes.push_back(folder + "/" + name);
    }
    return homes;
}

// The newest usable runtime of the system's folders; a home reached by two names counts once.
bool newestSystemRuntime(FoundRuntime* found) {
    std::vector<std::string> seen;
    bool any = false;
    for (const std::string& home : systemRuntimeHomes()) {
        const std::string real = resolved(home);
        if (real.empty() || std::find(seen.begin(), seen.end(), real) != seen.end())
            continue;
        seen.push_back(real);
        FoundRuntime candidate;
        if (!checkRuntimeHome(home, "system runtime folder", &candidate))
            continue;
        if (!any || compareVersions(candidate.version.c_str(), found->version.c_str()) > 0)
            *found = candidate;
        any = true;
    }
    return any;
}

bool checkVariable(const char* variable, FoundRuntime* found) {
    const char* home = getenv(variable);
    if (home == nullptr || home[0] == '\0')
        return false;
    return checkRuntimeHome(home, variable, found);
}

} // namespace

const char* acceptedRuntimeVersion() {
    return acceptedVersion.c_str();
}

bool checkRuntimeHome(const std::string& home, const char* origin, FoundRuntime* found, bool trusted) {
    logLine("Testing location %s (%s)", home.c_str(), origin);
    const std::string library = jvmLibrary(home);
    if (library.empty()) {
        logLine("no JVM library in %s", home.c_str());
        return false;
    }
    if (!libraryForThisMachine(library)) {
        logLine("%s is no library for this machine", library.c_str());
        return false;
    }
    if (trusted) {
        *found = FoundRuntime{home, releaseVersion(readReleaseFile(home.c_str())), library};
        return true;
    }
    if (getConfigNumber(config::RequireJdk) != 0 && !isFile(home + "/bin/javac")) {
        logLine("not a JDK: %s", home.c_str());
        return false;
    }
    const std::string version = runtimeVersion(home);
    logLine("version of %s: %s", home.c_str(), version.empty() ? "(unknown)" : version.c_str());
    if (!versionAccepted(version)) {
        logLine("version refused");
        return false;
    }
    *found = FoundRuntime{home, version, library};
    return true;
}

bool searchRuntime(FoundRuntime* found) {
    if (checkVariable("KESTRO_JAVA_HOME", found))
        return true;
    const std::string sequence = configText(config::SearchSequence);
    const char* cursor = sequence.c_str();
    char letter = '\0';
    char value[kTextCapacity];
    while (nextSearchEntry(&cursor, &letter, value, sizeof value)) {
        if (letter == 'E' && checkVariable(value, found))
            return true;
        if (letter == 'S') {
            const std::string java = javaOnPath();
            const std::string home = java.empty() ? std::string() : homeOfExecutable(java);
            if (!home.empty() && checkRuntimeHome(home, "java on PATH", found))
                return true;
        }
        if (letter == 'A' || letter == 'B' || letter == 'R') {
            char absolute[kPathCapacity];
            if (makeAbsolute(absolute, value) && checkRuntimeHome(absolute, "configured directory", found))
                return true;
        }
    }
    return newestSystemRuntime(found);
}

bool loadRuntime(const FoundRuntime& runtime) {
    logLine("loading %s", runtime.library.c_str());
    void* library = dlopen(runtime.library.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        logError("could not load %s: %s", runtime.library.c_str(), dlerror());
        return false;
    }
    void* create = dlsym(library, "JNI_CreateJavaVM");
    if (create == nullptr) {
        logError("%s has no JNI_CreateJavaVM", runtime.library.c_str());
        return false;
    }
    setCreateVmEntry(create);
    setDefaultArgsEntry(dlsym(library, "JNI_GetDefaultJavaVMInitArgs"));
    setJvmHome((runtime.home + "/bin/java").c_str());
    acceptedVersion = runtime.version;
    logLine("JVM loaded from %s (version %s)", runtime.home.c_str(), runtime.version.c_str());
    return true;
}

std::string versionFromOutput(const std::string& text) {
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        char version[kPathCapacity];
        if (parseVersionLine(line.c_str(), version, sizeof version))
            return version;
    }
    return std::string();
}

std::string homeOfExecutable(const std::string& executable) {
    const size_t name = executable.rfind('/');
    if (name == std::string::npos || name < 4 || executable.compare(name - 4, 4, "/bin") != 0)
        return std::string();
    return executable.substr(0, name - 4);
}
