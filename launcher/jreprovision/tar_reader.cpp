#include "jreprovision/tar_reader.h"

#include "tar/tar_rules.h"

#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"

#include <direct.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kHeaderReadSize = 500; // the fields used all lie in the first 500 bytes
constexpr int kHeaderRest = 12;
constexpr int kBlockSize = static_cast<int>(kestro::tar::kBlockSize);
constexpr unsigned kChunkSize = 32768;
constexpr DWORD kProgressInterval = 200;
constexpr size_t kSavedDirectoryCapacity = 260;

struct Progress {
    TarProgressSink sink;
    void* context;
    int32_t expectedTotalSize;
    TarFileSink files;

    void report(gzFile archive) const {
        if (sink != nullptr)
            sink(tarProgressPosition(gztell(archive), expectedTotalSize), context);
    }
};

// Makes the directories leading to path (a relative name with '\\' separators). Failures show when
// the entry itself is written.
void makeParentDirectories(const std::string& path) {
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
        _mkdir(path.substr(0, at).c_str());
}

// Reads the entry's data into path, which is created or overwritten. *writeFailed is set when the
// data could not be written, as on a full disk.
bool extractFile(gzFile archive, const char* path, int32_t size, const Progress& progress,
                 bool* writeFailed) {
    logLine("extracting %s (size %d)", path, size);
    FILE* out = fopen(path, "wb");
    if (out == nullptr) {
        char message[kPathCapacity + 32];
        snprintf(message, sizeof message, "Could not open file %s\n", path);
        logError("%s", message);
        fatalError(message);
    }
    char chunk[kChunkSize];
    int32_t written = 0;
    DWORD lastUpdate = GetTickCount();
    while (written < size) {
        const unsigned left = static_cast<unsigned>(size - written);
        const unsigned wanted = left < kChunkSize ? left : kChunkSize;
        int got = gzread(archive, chunk, wanted);
        if (got <= 0)
            break;
        written += got;
        if (fwrite(chunk, 1, got, out) != static_cast<size_t>(got) || ferror(out))
            break;
        if (GetTickCount() - lastUpdate >= kProgressInterval) {
            progress.report(archive);
            lastUpdate = GetTickCount();
        }
    }
    // The last buffered bytes go out only now: a full disk may show here alone, and a file cut short
    // here must not pass for a whole one. Flushed apart from fclose, whose result does not tell a
    // failed flush in every C runtime.
    const bool streamFailed = fflush(out) != 0 || ferror(out) != 0;
    if (fclose(out) != 0 || streamFailed) {
        logError("stream error");
        *writeFailed = true;
        return false;
    }
    if (written == size)
        return true;
    logError("sizes don't match: %d, %d", written, size);
    return false;
}

bool skip(gzFile archive, int32_t count) {
    return gzseek(archive, count, SEEK_CUR) != -1;
}

// The loop over the entries; the caller has entered the target directory and closes the archive.
bool extractEntries(gzFile archive, const Progress& progress, bool* writeFailed) {
    using namespace kestro::tar;
    char header[kHeaderReadSize];
    EntryNames names;
    std::string path;
    bool extractedFile = false;
    for (;;) {
        if (gzeof(archive)) {
            if (!extractedFile)
                logError("unexpected eof");
            return extractedFile;
        }
        // Cleared first, so that a short read at the end of the stream cannot show the last header again.
        memset(header, 0, sizeof header);
        if (gzread(archive, header, sizeof header) == -1) {
            logError("gzread failed");
            return false;
        }
        if (memcmp(header + kMagicOffset, "ustar", 5) != 0) {
            if (!extractedFile)
                logError("no magic number");
            return extractedFile;
        }
        if (!skip(archive, kHeaderRest)) {
            logError("gzseek 1 failed");
            return false;
        }
        int32_t size = 0;
        if (const char* why = parseSizeField(header + kSizeOffset, &size)) {
            // A size read otherwise than the packer read it would install part of the runtime.
            logError("entry size %s", why);
            return false;
        }
        const char type = header[kTypeOffset];
        if (type == kRegularFile || type == kDirectory) {
            if (const char* why = names.admit(header + kNameOffset, kNameLength, type == kDirectory, &path)) {
                logError("entry name refused: %.100s (%s)", header + kNameOffset, why);
                logError("extract file failed");
                return false;
            }
            // Archives made from a list of files often carry no entries for their directories.
            makeParentDirectories(path);
        }
        if (type == kDirectory) {
            if (!path.empty())
                _mkdir(path.c_str());
        } else if (type == kRegularFile) {
            progress.report(archive);
            if (!extractFile(archive, path.c_str(), size, progress, writeFailed)) {
                logError("extract file failed");
                return false;
            }
            if (progress.files.written != nullptr)
                progress.files.written(path.c_str(), size, progress.files.context);
            extractedFile = true;
        } else if (!skip(archive, size)) {
            logError("gzseek 2 failed");
            return false;
        }
        const int32_t remainder = size % kBlockSize;
        if (remainder != 0 && !skip(archive, kBlockSize - remainder)) {
            logError("gzseek 3 failed");
            return false;
        }
    }
}

} // namespace

int32_t tarProgressPosition(int64_t streamPosition, int32_t expectedTotalSize) {
    if (expectedTotalSize == 0)
        return 1;
    const double position = static_cast<double>(streamPosition) / expectedTotalSize * 100.0;
    if (position >= INT32_MAX)
        return INT32_MAX;
    if (position <= INT32_MIN)
        return INT32_MIN;
    const int32_t truncated = static_cast<int32_t>(position);
    return truncated == 0 ? 1 : truncated;
}

bool extractRuntimeArchiveReporting(const char* archivePath, const char* targetDirectory,
                                    TarProgressSink sink, void* context, int32_t expectedTotalSize,
                                    bool* writeFailed, TarFileSink files) {
    bool failedToWrite = false;
    if (writeFailed == nullptr)
        writeFailed = &failedToWrite;
    *writeFailed = false;
    char savedDirectory[kSavedDirectoryCapacity];
    DWORD savedLength = GetCurrentDirectoryA(sizeof savedDirectory, savedDirectory);
    if (savedLength == 0 || savedLength >= sizeof savedDirectory) {
        // Without a way back, the rest of the launch would run inside the runtime directory.
        logError("current directory too long to return to");
        return false;
    }
    gzFile archive = gzopen(archivePath, "rb");
    if (archive == nullptr) {
        logError("Could not open gz-file");
        return false;
    }
    // Ignored on failure: the entries then land in the current directory.
    _chdir(targetDirectory);
    const bool extracted =
        extractEntries(archive, Progress{sink, context, expectedTotalSize, files}, writeFailed);
    _chdir(savedDirectory);
    gzclose(archive);
    if (extracted)
        logLine("untaring JRE was successful");
    else
        logError("untaring JRE was unsuccessful");
    return extracted;
}
