#include "jreprovision/tar_reader.h"

#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"

#include <commctrl.h>
#include <direct.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kHeaderReadSize = 500; // the fields used all lie in the first 500 bytes
constexpr int kHeaderRest = 12;
constexpr int kBlockSize = 512;
constexpr int kNameOffset = 0;
constexpr int kNameLength = 100;
constexpr int kSizeOffset = 124;
constexpr int kSizeLength = 12;
constexpr int kTypeOffset = 156;
constexpr int kMagicOffset = 257;
constexpr char kRegularFile = '0';
constexpr char kDirectory = '5';
constexpr unsigned kChunkSize = 32768;
constexpr DWORD kProgressInterval = 200;
constexpr int kProgressBarId = 1001;
constexpr size_t kSavedDirectoryCapacity = 260;

struct Progress {
    TarProgressSink sink;
    void* context;
    int32_t expectedTotalSize;

    void report(gzFile archive) const {
        if (sink != nullptr)
            sink(tarProgressPosition(gztell(archive), expectedTotalSize), context);
    }
};

void sendToProgressBar(int32_t position, void* window) {
    SendDlgItemMessageA(static_cast<HWND>(window), kProgressBarId, PBM_SETPOS, position, 0);
}

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

// A component such as "..", "..." or ".. " that Windows may resolve to the parent directory.
bool climbsOut(const char* component, size_t length) {
    size_t dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] == '.')
            ++dots;
        else if (component[i] != ' ')
            return false;
    }
    return dots >= 2;
}

// Copies the zero-terminated name field into path with '\\' separators. A field without a terminator
// is a name this reader cannot hold whole; it is refused rather than cut.
bool copyEntryName(const char* header, char* path) {
    const char* field = header + kNameOffset;
    const void* end = memchr(field, '\0', kNameLength);
    if (end == nullptr)
        return false;
    size_t length = static_cast<const char*>(end) - field;
    for (size_t i = 0; i < length; ++i)
        path[i] = field[i] == '/' ? '\\' : field[i];
    path[length] = '\0';
    return true;
}

// Reads the entry's data into path, which is created or overwritten.
bool extractFile(gzFile archive, const char* path, int32_t size, const Progress& progress) {
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
    if (ferror(out)) {
        logError("stream error");
        fclose(out);
        return false;
    }
    fclose(out);
    if (written == size)
        return true;
    logError("sizes don't match: %d, %d", written, size);
    return false;
}

bool skip(gzFile archive, int32_t count) {
    return gzseek(archive, count, SEEK_CUR) != -1;
}

// The loop over the entries; the caller has entered the target directory and closes the archive.
bool extractEntries(gzFile archive, const Progress& progress) {
    char header[kHeaderReadSize];
    char path[kPathCapacity];
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
        const int32_t size = parseTarOctal(header + kSizeOffset, kSizeLength);
        const char type = header[kTypeOffset];
        if (size < 0) {
            // A skip by a wrapped, negative size would move backwards and could read the archive forever.
            logError("entry size out of range");
            return false;
        }
        const bool writesSomething = type == kRegularFile || type == kDirectory;
        if (writesSomething && (!copyEntryName(header, path) || !isContainedEntryName(path))) {
            logError("entry name refused: %.100s", header + kNameOffset);
            logError("extract file failed");
            return false;
        }
        if (type == kDirectory) {
            _mkdir(path);
        } else if (type == kRegularFile) {
            progress.report(archive);
            if (!extractFile(archive, path, size, progress)) {
                logError("extract file failed");
                return false;
            }
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

int32_t parseTarOctal(const char* field, size_t length) {
    size_t i = 0;
    while (i < length && (field[i] == ' ' || field[i] == '0'))
        ++i;
    int64_t value = 0;
    for (; i < length && field[i] != '\0' && field[i] != ' '; ++i) {
        value = value * 8 + (field[i] - '0');
        if (value > INT32_MAX || value < 0)
            return -1;
    }
    return static_cast<int32_t>(value);
}

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

bool isContainedEntryName(const char* name) {
    if (isSeparator(name[0]) || strchr(name, ':') != nullptr)
        return false;
    const char* component = name;
    for (const char* c = name;; ++c) {
        if (*c == '\0' || isSeparator(*c)) {
            if (climbsOut(component, c - component))
                return false;
            if (*c == '\0')
                return true;
            component = c + 1;
        }
    }
}

bool extractRuntimeArchiveReporting(const char* archivePath, const char* targetDirectory,
                                    TarProgressSink sink, void* context, int32_t expectedTotalSize) {
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
    const bool extracted = extractEntries(archive, Progress{sink, context, expectedTotalSize});
    _chdir(savedDirectory);
    gzclose(archive);
    if (extracted)
        logLine("untaring JRE was successful");
    else
        logError("untaring JRE was unsuccessful");
    return extracted;
}

bool extractRuntimeArchive(const char* archivePath, const char* targetDirectory, HWND progressWindow,
                           int32_t expectedTotalSize) {
    return extractRuntimeArchiveReporting(archivePath, targetDirectory,
                                          progressWindow != nullptr ? sendToProgressBar : nullptr,
                                          progressWindow, expectedTotalSize);
}
