#include "startup/startup.h"

#include "jreprovision/runtime_cache.h"
#include "jreprovision/tar_reader.h"
#include "jvmsearch/runtime_search.h"
#include "launch/arguments.h"
#include "launch/program_end.h"
#include "launch/vm_launch.h"
#include "payload/included_files.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "runtime/version_rules.h"
#include "startup/startup_state.h"
#include "support/cleanup.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/log.h"
#include "support/single_instance.h"
#include "support/text_conversion.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace config = kestro::payload::config;
namespace message = kestro::payload::message;

constexpr const char* kRuntimeArchive = kestro::payload::kRuntimeArchiveName;
constexpr char kRuntimeDirectory[] = "jre";
// What a Linux launcher ends with when no runtime will do, as the Windows one does without a window.
constexpr int kNoRuntimeExitCode = 83;
constexpr char kCorruptedRuntime[] =
    "The bundled JRE is corrupted. If you downloaded the setup file please download it again.";

std::string configText(int id) {
    char text[kTextCapacity];
    getConfigText(id, text, sizeof text);
    return text;
}

// The configured directories go in front of PATH, for the program and every process it starts.
void prefixPath() {
    const std::string configured = configText(config::PathPrefix);
    if (configured.empty())
        return;
    std::string prefix;
    for (size_t start = 0; start < configured.size();) {
        size_t end = configured.find(';', start);
        if (end == std::string::npos)
            end = configured.size();
        const std::string directory = configured.substr(start, end - start);
        start = end + 1;
        char absolute[kPathCapacity];
        if (!directory.empty() && makeAbsolute(absolute, directory.c_str()))
            prefix += std::string(absolute) + ":";
    }
    const char* path = getenv("PATH");
    setenv("PATH", (prefix + (path != nullptr ? path : "")).c_str(), 1);
}

// A configured working directory; otherwise the program starts where it was started, as every
// program on Linux does (relative names on its command line mean what the user meant).
void enterWorkingDirectory() {
    const std::string configured = configText(config::WorkingDirectory);
    char directory[kPathCapacity];
    if (!configured.empty() && fullPath(directory, configured.c_str(), true) && chdir(directory) != 0)
        logError("Could not change working dir to %s", directory);
}

// The program's Java code runs: the start got through.
void startGotThrough() {
    logLine("Java side entered");
}

[[noreturn]] void failExtraction(int result) {
    fatalMessageWide(result == kCopyWriteFailed ? message::DiskFull : message::InstallationCorrupted);
}

// The user reads why on standard error (and in a dialog from the desktop): the project's own words,
// which versions would do, and the log.
[[noreturn]] void endWithoutRuntime() {
    logError("No JRE found");
    const std::string text = configText(config::MessageNoJvm);
    const std::string told = text + (text.empty() ? "" : "\n") + "The program runs on " +
                             describeVersionRange(configText(config::MinimumVersion).c_str(),
                                                  configText(config::MaximumVersion).c_str()) +
                             ".";
    showError(told.c_str());
    exitLauncher(kNoRuntimeExitCode);
}

// The runtime unpacked from the payload: through the user's cache when the project allows it, else
// into the extraction directory for this start alone. Returns its home.
std::string prepareShippedRuntime(const char* cacheEntry, const std::string& archive) {
    const int32_t expectedSize = getConfigNumber(config::RuntimeArchiveSize);
    char cachedHome[kPathCapacity] = "";
    if (cacheEntry[0] != '\0') {
        switch (fillRuntimeCache(cacheEntry, archive.c_str(), nullptr, nullptr, expectedSize, nullptr,
                                 cachedHome)) {
        case CacheFill::Done:
            releaseIncludedFile(kRuntimeArchive);
            unlink(archive.c_str());
            return cachedHome;
        case CacheFill::ArchiveCorrupt:
            logError("Could not untar JRE");
            fatalError(kCorruptedRuntime);
        case CacheFill::NotCached:
            logLine("JRE not cached; unpacking it for this start");
            break;
        }
    }
    const std::string runtime = std::string(extractionDirectory()) + "/" + kRuntimeDirectory;
    if (!makeDirectory(runtime.c_str()))
        logError("Could not create JRE dir");
    bool writeFailed = false;
    if (!extractRuntimeArchiveReporting(archive.c_str(), runtime.c_str(), nullptr, nullptr, expectedSize,
                                        &writeFailed)) {
        // Half a runtime would hold its space until this start ends; removed first, so that on a full
        // disk the log line below finds room.
        removeTree(runtime);
        logError("Could not untar JRE");
        if (writeFailed)
            failExtraction(kCopyWriteFailed);
        fatalError(kCorruptedRuntime);
    }
    releaseIncludedFile(kRuntimeArchive);
    unlink(archive.c_str());
    return runtime;
}

// Loads the shipped runtime at home; a cached one that does not load is made again by the next start,
// and this one searches.
void useShippedRuntime(const std::string& home, const char* cacheEntry) {
    logLine("JRE dir: %s", home.c_str());
    FoundRuntime runtime;
    if (checkRuntimeHome(home, "bundled", &runtime, true) && loadRuntime(runtime))
        return;
    logError("Could not load bundled JRE. Trying to find another JRE.");
    if (cacheEntry[0] != '\0' && home.compare(0, strlen(cacheEntry), cacheEntry) == 0)
        discardCachedRuntime(cacheEntry);
    if (searchRuntime(&runtime) && loadRuntime(runtime))
        return;
    logError("Could not find another JRE.");
    fatalError("Could not use bundled JRE. Please send this log file to your software vendor:");
}

void findAndLoadRuntime() {
    FoundRuntime runtime;
    if (!searchRuntime(&runtime))
        endWithoutRuntime();
    if (!loadRuntime(runtime)) {
        char home[kPathCapacity];
        snprintf(home, sizeof home, "%s", runtime.home.c_str());
        fatalMessage(config::MessageJvmAtDamaged, home);
    }
}

} // namespace

void runLauncher(int argc, char** argv) {
    logLine("Init");
    loadPayload();
    char kind[2];
    getConfigText(config::ApplicationKind, kind, sizeof kind);
    setApplicationKind(kind[0]);
    prefixPath();
    enterWorkingDirectory();

    std::vector<std::string> handedOver;
    WideArguments arguments;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        arguments.push_back(wideFromNarrow(argument.c_str()));
        if (i > 0)
            handedOver.push_back(argument);
        if (i > 0 && (argument == "-q" || argument == "-c"))
            useConsoleErrors();
    }

    // Before this process can be known to later starts, which hand their arguments to its id.
    discardStaleHandOver();
    guardSingleInstance(getConfigNumber(config::SingleInstanceHandOver) != 0, handedOver);
    startCleanUp();
    logLine("Init done");

    // A runtime already in the user's cache needs no archive: that stays in the payload.
    char cacheEntry[kPathCapacity] = "";
    char cachedHome[kPathCapacity] = "";
    if (runtimeCacheEntry(cacheEntry) && !useCachedRuntime(cacheEntry, cachedHome))
        cachedHome[0] = '\0';
    char directory[kPathCapacity];
    const int result = extractIncludedFiles(directory, cachedHome[0] != '\0' ? kRuntimeArchive : nullptr);
    if (result != kCopyDone)
        failExtraction(result);
    setExtractionDirectory(directory);

    const std::string archive = std::string(directory) + "/" + kRuntimeArchive;
    if (cachedHome[0] != '\0') {
        useShippedRuntime(cachedHome, cacheEntry);
    } else if (directory[0] != '\0' && pathExists(archive.c_str())) {
        logLine("JRE included");
        // Only the payload's own archive goes into the cache.
        useShippedRuntime(prepareShippedRuntime(cacheEntry, archive), cacheEntry);
    } else {
        logLine("No JRE included");
        findAndLoadRuntime();
    }
    endWithProgram(launchVm(arguments, startGotThrough));
}
