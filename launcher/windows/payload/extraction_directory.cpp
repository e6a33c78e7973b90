// A Windows launcher's extraction directory: "<kqx temporary file>_dir<random>" in the temporary
// directory, queued for deletion before it exists and marked in use while the process runs; the
// extracted files are held open without delete sharing.
#include "payload/extraction_directory.h"

#include "payload/payload_format.h"
#include "support/deletion_queue.h"
#include "support/errors.h"
#include "support/library_search.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/temp_directory.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace config = kestro::payload::config;

// Extracted files stay open for the life of the process on purpose: while a read handle without
// delete sharing is open, nobody can delete or replace the file.
std::vector<std::pair<std::string, HANDLE>> heldFiles;

// "<temporary file name>_dir<random>", after deleting the temporary file whose name it borrows.
// False (directory empty) when no temporary file could be made, as when TMP names a missing folder:
// the directory would otherwise land, relative, wherever the current directory is.
bool makeDirectoryName(char* directory) {
    directory[0] = '\0';
    char temporaryFile[MAX_PATH + 1];
    if (!temporaryFileName(temporaryFile)) {
        logError("Could not create a temporary file");
        return false;
    }
    DeleteFileA(temporaryFile);
    srand(static_cast<unsigned>(time(nullptr)));
    char number[16];
    _itoa(rand(), number, 10);
    snprintf(directory, kPathCapacity, "%s_dir%s", temporaryFile, number);
    return !isRelativePath(directory);
}

} // namespace

void createExtractionDirectory(char* directory) {
    const bool named = makeDirectoryName(directory);
    logLine("Temp dir: %s", directory);
    if (!named)
        fatalMessage(config::MessageInternalError, "7");
    // Queued before it exists, since the process may end anywhere from now on (killed, or the Java
    // side's exit, which never comes back): ended between making and queueing it, it would stay for
    // good. The mark keeps every clean-up out while we run. A drain elsewhere may take the directory
    // while it is still empty and unmarked (and drop its entry); then it is made and queued again.
    // Unmarked, it is only handed over when the process reports an error.
    bool marked = false;
    for (int attempt = 0; attempt < 3 && !marked; ++attempt) {
        queueDirectory(directory);
        if (!CreateDirectoryA(directory, nullptr))
            fatalMessage(config::MessageInternalError, "7");
        marked = markDirectoryInUse(directory);
        if (!marked && pathExists(directory))
            break;
    }
    if (!marked)
        registerPendingDirectory(directory);
}

// The files extracted so far, and the directory's in-use mark, are let go first: held open, they
// could not be deleted.
void discardExtractionDirectory(const char* directory) {
    for (const auto& held : heldFiles)
        CloseHandle(held.second);
    heldFiles.clear();
    releaseDirectory(directory);
    emptyDirectory(directory);
    RemoveDirectoryA(directory);
}

void holdIncludedFile(const char* name, const char* path) {
    HANDLE held = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    // A file of size 0 was never created; there is nothing to hold then.
    if (held != INVALID_HANDLE_VALUE)
        heldFiles.emplace_back(name, held);
}

void releaseIncludedFile(const char* name) {
    for (auto held = heldFiles.begin(); held != heldFiles.end();) {
        if (held->first == name) {
            CloseHandle(held->second);
            held = heldFiles.erase(held);
        } else {
            ++held;
        }
    }
}

// Included native libraries find what they need beside them, as they did when the current directory
// was searched: this directory holds only what the launcher put there.
void includedFilesExtracted(const char* directory) {
    searchForLibrariesIn(directory);
}
