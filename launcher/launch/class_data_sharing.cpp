#include "launch/class_data_sharing.h"

#include "jvmsearch/java_validation.h"
#include "launch/class_data_archive.h"
#include "launch/variable_expansion.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "startup/startup_state.h"
#include "support/environment.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/user_cache.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kClassPathProperty[] = "-Djava.class.path=";
constexpr size_t kReleaseFileLimit = 64 * 1024;

std::string readReleaseFile(const char* home) {
    std::string text;
    FILE* file = fopen((std::string(home) + "\\release").c_str(), "rb");
    if (file == nullptr)
        return text;
    char chunk[4096];
    for (size_t got; text.size() < kReleaseFileLimit && (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, got);
    fclose(file);
    return text;
}

// A console, a pipe or a file behind standard output or error: someone may read what the runtime
// writes there.
bool outputSeen() {
    for (DWORD stream : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(stream);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
            return true;
    }
    return false;
}

bool environmentChoosesSharing() {
    for (const wchar_t* name : {L"JAVA_TOOL_OPTIONS", L"_JAVA_OPTIONS"}) {
        const std::wstring value = environmentVariable(name);
        if (textChoosesClassDataSharing(std::string(value.begin(), value.end())))
            return true;
    }
    return false;
}

bool classPathHasDirectory(const char* classPathOption) {
    std::string entries = classPathOption;
    if (entries.compare(0, sizeof kClassPathProperty - 1, kClassPathProperty) == 0)
        entries.erase(0, sizeof kClassPathProperty - 1);
    for (size_t start = 0; start < entries.size();) {
        size_t end = entries.find(';', start);
        if (end == std::string::npos)
            end = entries.size();
        const std::string entry = entries.substr(start, end - start);
        start = end + 1;
        const DWORD attributes = entry.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(entry.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return true;
    }
    return false;
}

// The program as its files stand: the executable's name, size and time change with every new build.
std::string programIdentity() {
    std::string identity = executablePath();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExA(executablePath(), GetFileExInfoStandard, &data)) {
        identity += " " + std::to_string(data.nFileSizeHigh) + ":" + std::to_string(data.nFileSizeLow) + " " +
                    std::to_string(data.ftLastWriteTime.dwHighDateTime) + ":" +
                    std::to_string(data.ftLastWriteTime.dwLowDateTime);
    }
    return identity;
}

bool insideDirectory(const char* path, const char* directory) {
    const size_t length = strlen(directory);
    return length > 0 && _strnicmp(path, directory, length) == 0 &&
           (path[length] == '\\' || path[length] == '/');
}

// A copy of exactly its own length: the VM keeps every option for the life of the process.
char* newText(const std::string& text) {
    char* copy = new char[text.size() + 1];
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

} // namespace

void insertClassDataSharingOptions(VmOptionList& options, size_t position, const char* classPathOption) {
    if (getConfigNumber(kestro::payload::config::ShareClassData) == 0)
        return;
    if (optionsChooseClassDataSharing(options) || environmentChoosesSharing()) {
        logLine("class data sharing as the options choose");
        return;
    }
    const char* home = jvmHome();
    const std::string release = readReleaseFile(home);
    std::string version = releaseVersion(release);
    if (version.empty())
        version = acceptedRuntimeVersion();
    const ClassDataArchive kind = classDataArchiveFor(javaFeatureVersion(version.c_str()), outputSeen());
    if (kind == ClassDataArchive::None) {
        logLine("no class data archive for runtime version %s",
                version.empty() ? "(unknown)" : version.c_str());
        return;
    }
    // Its home moves with every start, and an archive of it would never fit the next one.
    if (insideDirectory(home, extractionDirectory())) {
        logLine("no class data archive for a runtime unpacked for this start");
        return;
    }
    if (classPathHasDirectory(classPathOption)) {
        logLine("no class data archive: the class path holds a directory");
        return;
    }
    char room[kPathCapacity];
    if (!userCacheRoom(kClassDataRoom, room)) {
        logLine("no class data archive: no cache for this user");
        return;
    }
    // Options that shape what the runtime archives (heap, collector) are part of the name; the
    // launcher's properties before them differ from start to start.
    std::string runtime = std::string(home) + "\n" + release + "\n" + version;
    for (size_t i = position; i < options.size(); ++i)
        if (options[i] != nullptr && strncmp(options[i], "-D", 2) != 0)
            runtime += std::string("\n") + options[i];
    const std::string key =
        classDataArchiveKey(runtime, programIdentity(), classPathOption, extractionDirectory());
    const std::string archive = std::string(room) + "\\" + key + classDataArchiveExtension(kind);
    const bool exists = pathExists(archive.c_str());
    if (exists)
        recordCacheUse(archive.c_str());
    logLine("class data archive %s (%s)", archive.c_str(), exists ? "present" : "made at exit");
    const std::vector<std::string> added = classDataSharingOptions(kind, archive, exists);
    for (size_t i = 0; i < added.size(); ++i)
        options.insert(options.begin() + static_cast<std::ptrdiff_t>(position + i), newText(added[i]));
}
