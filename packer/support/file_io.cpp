#include "support/file_io.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestro::packer {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        close(fd_);
}

bool FileDescriptor::closeNow() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

size_t readFully(int fd, char* data, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, data + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

std::string whyNotReadable(const std::string& path, bool directoryToo) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return std::strerror(errno);
    if (S_ISDIR(status.st_mode) && !directoryToo)
        return "a directory";
    if (access(path.c_str(), R_OK) != 0)
        return std::strerror(errno);
    return "not a regular file";
}

bool readWholeFile(const std::string& path, std::string* contents, std::string* error) {
    FileDescriptor in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (in.get() < 0 || fstat(in.get(), &status) != 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        *error = "cannot read " + path + ": not a file";
        return false;
    }
    // Read at its size in one go: every pack reads a stub of hundreds of KiB.
    contents->resize(static_cast<size_t>(status.st_size));
    if (readFully(in.get(), contents->data(), contents->size()) != contents->size()) {
        *error = "cannot read " + path + " completely";
        return false;
    }
    return true;
}

bool readWholeStream(const std::string& path, std::string* contents, std::string* error) {
    FileDescriptor in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    contents->clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0)
            return true;
        contents->append(buffer, static_cast<size_t>(n));
    }
}

int openEmptiedForWriting(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    struct stat status {};
    if (fd >= 0 && (fstat(fd, &status) != 0 || (status.st_size > 0 && ftruncate(fd, 0) != 0))) {
        const int failure = errno;
        close(fd);
        errno = failure;
        return -1;
    }
    return fd;
}

} // namespace kestro::packer
