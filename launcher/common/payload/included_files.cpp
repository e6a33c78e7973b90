#include "payload/included_files.h"

#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/log.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

namespace config = kestro::payload::config;

constexpr size_t kChunkSize = 8192;

// Moves the payload past one included file without writing it.
int skipFile(NativeFile payload, const char* name) {
    const int64_t size = readLong(payload);
    logLine("not extracting %s (size: %" PRId64 ")", name, size);
    if (size > 0 && !skipInFile(payload, size))
        return kCopyReadFailed;
    return kCopyDone;
}

} // namespace

int copyPayloadBytes(NativeFile source, NativeFile target, int64_t count, bool descramble) {
    unsigned char buffer[kChunkSize];
    for (int64_t done = 0; done < count;) {
        const size_t wanted =
            count - done < static_cast<int64_t>(kChunkSize) ? static_cast<size_t>(count - done) : kChunkSize;
        const int64_t read = readSome(source, buffer, wanted);
        if (read <= 0) {
            logError("ReadFile failed");
            return kCopyReadFailed;
        }
        if (descramble)
            kestro::payload::scrambleBytes(buffer, static_cast<size_t>(read));
        for (int64_t written = 0; written < read;) {
            const int64_t now = writeSome(target, buffer + written, static_cast<size_t>(read - written));
            if (now < 0) {
                logError("WriteFile failed %lu", static_cast<unsigned long>(read - written));
                return kCopyWriteFailed;
            }
            written += now;
        }
        done += read;
    }
    return kCopyDone;
}

int extractFile(NativeFile payload, const char* targetPath) {
    const int64_t size = readLong(payload);
    logLine("extracting %s (size: %" PRId64 ")", targetPath, size);
    if (size <= 0)
        return kCopyDone;
    NativeFile target = createFileForWriting(targetPath);
    if (!isOpenFile(target))
        fatalMessage(config::MessageInternalError, "11");
    const int result = copyPayloadBytes(payload, target, size, true);
    if (result == kCopyDone)
        copyModificationTime(payload, target);
    closeFile(target);
    return result;
}

int extractIncludedFiles(char* directory, const char* skipped) {
    logLine("extracting files");
    const int32_t count = getConfigNumber(config::IncludedFileCount);
    logLine("Included files: %d", count);
    directory[0] = '\0';
    if (count == 0)
        return kCopyDone;

    NativeFile payload = openPayloadFile();
    seekFile(payload, fileSectionStart());
    createExtractionDirectory(directory);

    char names[kestro::payload::kIncludedFileNamesCapacity];
    getConfigText(config::IncludedFileNames, names, sizeof names);
    int extracted = 0;
    for (char* name = strtok(names, ";"); name != nullptr && extracted < count; name = strtok(nullptr, ";")) {
        char target[kPathCapacity];
        snprintf(target, sizeof target, "%s%c%s", directory, kPathSeparator, name);
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
            closeFile(payload);
            discardExtractionDirectory(directory);
            return result;
        }
        if (!skip)
            holdIncludedFile(name, target);
        ++extracted;
    }

    setUnextractedPosition(filePosition(payload));
    closeFile(payload);
    includedFilesExtracted(directory);
    logLine("extracting files done");
    return kCopyDone;
}
