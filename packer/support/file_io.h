// Plain file input and output for the packer, on POSIX descriptors: failures keep errno for the
// message, and nothing is buffered behind the caller's back.
#pragma once

#include <cstddef>
#include <string>

namespace kestro::packer {

// A file descriptor closed on every way out.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, so that a failure to write back is seen; false and errno set on failure.
    bool closeNow();

  private:
    int fd_;
};

// Writes all of data, going on after interrupted or partial writes; false and errno set on failure.
bool writeAll(int fd, const char* data, size_t size);

// Reads up to size bytes, fewer only at the end of the file or on an error.
size_t readFully(int fd, char* data, size_t size);

// For a message about a path that could not be used as a file (or, with directoryToo, as a
// directory either): the system's reason ("No such file or directory", "Permission denied"), or what
// it is instead ("a directory", "not a regular file").
std::string whyNotReadable(const std::string& path, bool directoryToo = false);

// Reads a whole regular file; false with the reason in error.
bool readWholeFile(const std::string& path, std::string* contents, std::string* error);

// Reads a file of any kind that can be read to its end, a pipe such as the shell's `<(...)` too;
// false with the reason in error.
bool readWholeStream(const std::string& path, std::string* contents, std::string* error);

// Opens path for writing from its start, creating it (mode 0644) if missing and emptying it if not;
// returns the descriptor, or -1 with errno set. A file that is already empty, such as a fresh
// temporary file, is not truncated: ext4 writes a truncated file's whole new contents to disk when
// it is closed, which for a large launcher costs more than packing it.
int openEmptiedForWriting(const std::string& path);

} // namespace kestro::packer
