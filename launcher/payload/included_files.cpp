#include "payload/included_files.h"

#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "support/deletion_queue.h"
#include "support/errors.h"
#include "support/library_search.h"
#include "support/log.h"
#include "support/paths.h"
#include "support/temp_directory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace config = kestro::payload::config;

constexpr DWORD kChunkSize = 8192;

// Extracted files stay open for the life of the process on purpose: while a read handle without
// delete sharing is open, nobody can delete or replace the file.
std::vector<std::pair<std::string, HANDLE>> heldFiles;

int64_t currentPosition(HANDLE file) {
    LARGE_INTEGER zero{}, position{};
    SetFilePointerEx(file, zero, &position, FILE_CURRENT);
    return position.QuadPart;
}

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

// The files extracted so far, and the directory's in-use mark, are let go first: held open, they
// could not be deleted.
void discardDirectory(const char* directory) {
    for (const auto& held : heldFiles)
        CloseHandle(held.second);
    heldFiles.clear();
    releaseDirectory(directory);
    emptyDirectory(directory);
    RemoveDirectoryA(directory);
}

// Moves the payload past one included file without writing it.
int skipFile(HANDLE payload, const char* name) {
    LARGE_INTEGER size;
    size.QuadPart = readLong(payload);
    logLine("not extracting %s (size: %I64d)", name, size.QuadPart);
    if (size.QuadPart > 0 && !SetFilePointerEx(payload, size, nullptr, FILE_CURRENT))
        return kCopyReadFailed;
    return kCopyDone;
}

} // namespace

int copyPayloadBytes(HANDLE source, HANDLE target, int64_t count, bool descramble) {
    unsigned char buffer[kChunkSize];
    for (int64_t done = 0; done < count;) {
        const DWORD wanted =
            count - done < static_cast<int64_t>(kChunkSize) ? static_cast<DWORD>(count - done) : kChunkSize;
        DWORD read = 0;
        if (!ReadFile(source, buffer, wanted, &read, nullptr) || read == 0) {
            logError("ReadFile failed");
            return kCopyReadFailed;
        }
        if (descramble)
            kestro::payload::scrambleBytes(buffer, read);
        for (DWORD written = 0; written < read;) {
            DWORD now = 0;
            if (!WriteFile(target, buffer + written, read - written, &now, nullptr)) {
                logError("WriteFile failed %lu", read - written);
                return kCopyWriteFailed;
            }
            written += now;
        }
        done += read;
    }
    return kCopyDone;
}

int extractFile(HANDLE payload, const char* targetPath) {
    const int64_t size = readLong(payload);
    logLine("extracting %s (size: %I64d)", targetPath, size);
    if (size <= 0)
        return kCopyDone;
    HANDLE target =
        CreateFileA(targetPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (target == INVALID_HANDLE_VALUE)
        fatalMessage(config::MessageInternalError, "11");
    const int result = copyPayloadBytes(payload, target, size, true);
    FILETIME written;
    if (result == kCopyDone && GetFileTime(payload, nullptr, nullptr, &written))
        SetFileTime(target, nullptr, nullptr, &written);
    CloseHandle(target);
    return result;
}

int extractIncludedFiles(char* directory, const char* skipped) {
    logLine("extracting files");
    const int32_t count = getConfigNumber(config::IncludedFileCount);
    logLine("Included files: %d", count);
    directory[0] = '\0';
    if (count == 0)
        return kCopyDone;

    HANDLE payload = openPayloadFile();
    LARGE_INTEGER start;
    start.QuadPart = fileSectionStart();
    SetFilePointerEx(payload, start, nullptr, FILE_BEGIN);

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

    char names[kestro::payload::kIncludedFileNamesCapacity];
    getConfigText(config::IncludedFileNames, names, sizeof names);
    int extracted = 0;
    for (char* name = strtok(names, ";"); name != nullptr && extracted < count; name = strtok(nullptr, ";")) {
        char target[kPathCapacity];
        snprintf(target, sizeof target, "%s\\%s", directory, name);
        int result = kCopyReadFailed;
        const bool skip = skipped != nullptr && strcmp(name, skipped) == 0;
        if (skip)
            result = skipFile(payload, name);
        else if (isSafeIncludedFileName(name) && strlen(directory) + 1 + strlen(name) < sizeof target)
            result = extractFile(payload, target);
        else
            logError("Refused included file name %s", name);
        if (result != kCopyDone) {
            logError("Failed to extract %s", target);
            CloseHandle(payload);
            discardDirectory(directory);
            return result;
        }
        HANDLE held = skip ? INVALID_HANDLE_VALUE
                           : CreateFileA(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        // A file of size 0 was never created; there is nothing to hold then.
        if (held != INVALID_HANDLE_VALUE)
            heldFiles.emplace_back(name, held);
        ++extracted;
    }

    setUnextractedPosition(currentPosition(payload));
    CloseHandle(payload);
    // Included native libraries find what they need beside them, as they did when the current
    // directory was searched: this directory holds only what the launcher put there.
    searchForLibrariesIn(directory);
    logLine("extracting files done");
    return kCopyDone;
}

// Every hold of the name goes: a name listed twice is held twice.
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
