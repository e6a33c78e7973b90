// A Linux launcher's extraction directory: "kqx<pid>.tmp_dir<n>" in the private runtime directory
// (support/user_directories.h), marked in use while the process runs and removed when it ends; what a
// launcher ended by force left is removed by a later start's clean-up (support/cleanup.h).
#include "payload/extraction_directory.h"

#include "payload/payload_format.h"
#include "support/cleanup.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/log.h"
#include "support/user_directories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

constexpr int kNameAttempts = 100;

} // namespace

void createExtractionDirectory(char* directory) {
    directory[0] = '\0';
    std::string room;
    if (!privateRuntimeDirectory(&room)) {
        logError("no private directory of this user's for the included files");
        fatalMessage(kestro::payload::config::MessageInternalError, "7");
    }
    // Clock and process tell the name apart; mkdir claims it, as no other process can at the same time.
    unsigned number = static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(getpid()) << 16;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt, ++number) {
        snprintf(directory, kPathCapacity, "%s/kqx%lx.tmp_dir%u", room.c_str(),
                 static_cast<unsigned long>(getpid()) & 0xFFFFFFFF, number % 1000000000);
        if (mkdir(directory, 0700) == 0) {
            logLine("Temp dir: %s", directory);
            markDirectoryInUse(directory);
            removeAtExit(directory);
            return;
        }
        if (errno != EEXIST)
            break;
    }
    logError("Could not create the extraction directory in %s", room.c_str());
    fatalMessage(kestro::payload::config::MessageInternalError, "7");
}

void discardExtractionDirectory(const char* directory) {
    releaseDirectory(directory);
    removeTree(directory);
}

// Linux lets nobody keep a file of a directory from being deleted by holding it open; the directory
// is the user's alone instead.
void holdIncludedFile(const char*, const char*) {}

void releaseIncludedFile(const char*) {}

void includedFilesExtracted(const char*) {}
