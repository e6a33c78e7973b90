#include "support/native_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool isOpenFile(NativeFile file) {
    return file >= 0;
}

NativeFile openFileForReading(const char* path) {
    return open(path, O_RDONLY | O_CLOEXEC);
}

NativeFile createFileForWriting(const char* path) {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void closeFile(NativeFile file) {
    close(file);
}

bool readExactly(NativeFile file, void* buffer, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t got = read(file, static_cast<char*>(buffer) + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

int64_t readSome(NativeFile file, void* buffer, size_t size) {
    ssize_t got;
    do
        got = read(file, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

int64_t writeSome(NativeFile file, const void* buffer, size_t size) {
    ssize_t written;
    do
        written = write(file, buffer, size);
    while (written < 0 && errno == EINTR);
    return written;
}

int64_t filePosition(NativeFile file) {
    return lseek(file, 0, SEEK_CUR);
}

bool seekFile(NativeFile file, int64_t offset) {
    return lseek(file, offset, SEEK_SET) >= 0;
}

bool skipInFile(NativeFile file, int64_t count) {
    return lseek(file, count, SEEK_CUR) >= 0;
}

int64_t fileSize(NativeFile file) {
    struct stat status {};
    return fstat(file, &status) == 0 ? status.st_size : -1;
}

void copyModificationTime(NativeFile source, NativeFile target) {
    struct stat status {};
    if (fstat(source, &status) != 0)
        return;
    const timespec times[2] = {status.st_atim, status.st_mtim};
    futimens(target, times);
}

unsigned long lastFileError() {
    return static_cast<unsigned long>(errno);
}
