#include "launch/class_data_sharing.h"

#include "launch/class_data_archive.h"
#include "launch/launch_platform.h"
#include "launch/variable_expansion.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "startup/startup_state.h"
#include "support/file_system.h"
#include "support/log.h"
#include "support/user_cache.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kClassPathProperty[] = "-Djava.class.path=";
constexpr size_t kReleaseFileLimit = 64 * 1024;

bool classPathHasDirectory(const char* classPathOption) {
    std::string entries = classPathOption;
    if (entries.compare(0, sizeof kClassPathProperty - 1, kClassPathProperty) == 0)
        entries.erase(0, sizeof kClassPathProperty - 1);
    for (size_t start = 0; start < entries.size();) {
        size_t end = entries.find(kPathListSeparator, start);
        if (end == std::string::npos)
            end = entries.size();
        const std::string entry = entries.substr(start, end - start);
        start = end + 1;
        if (!entry.empty() && isDirectory(entry.c_str()))
            return true;
    }
    return false;
}

// A copy of exactly its own length: the VM keeps every option for the life of the process.
char* newText(const std::string& text) {
    char* copy = new char[text.size() + 1];
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

} // namespace

std::string readReleaseFile(const char* home) {
    std::string text;
    FILE* file = fopen((std::string(home) + kPathSeparator + "release").c_str(), "rb");
    if (file == nullptr)
        return text;
    char chunk[4096];
    for (size_t got; text.size() < kReleaseFileLimit && (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
        text.append(chunk, got);
    fclose(file);
    return text;
}

void insertClassDataSharingOptions(VmOptionList& options, size_t position, const char* classPathOption) {
    if (getConfigNumber(kestro::payload::config::ShareClassData) == 0)
        return;
    if (optionsChooseClassDataSharing(options) || environmentChoosesClassDataSharing()) {
        logLine("class data sharing as the options choose");
        return;
    }
    const char* home = jvmHome();
    const std::string release = readReleaseFile(home);
    std::string version = releaseVersion(release);
    if (version.empty())
        version = acceptedRuntimeVersion();
    const ClassDataArchive kind =
        classDataArchiveFor(javaFeatureVersion(version.c_str()), processOutputSeen());
    if (kind == ClassDataArchive::None) {
        logLine("no class data archive for runtime version %s",
                version.empty() ? "(unknown)" : version.c_str());
        return;
    }
    // Its home moves with every start, and an archive of it would never fit the next one.
    if (isInsideDirectory(home, extractionDirectory())) {
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
    const std::string archive = std::string(room) + kPathSeparator + key + classDataArchiveExtension(kind);
    const bool exists = pathExists(archive.c_str());
    if (exists)
        recordCacheUse(archive.c_str());
    logLine("class data archive %s (%s)", archive.c_str(), exists ? "present" : "made at exit");
    const std::vector<std::string> added = classDataSharingOptions(kind, archive, exists);
    for (size_t i = 0; i < added.size(); ++i)
        options.insert(options.begin() + static_cast<std::ptrdiff_t>(position + i), newText(added[i]));
}
